// The record store's contract (fleet/record_store.h) as tests, one suite
// run over every kind of store. A kind comes as a function that makes a
// record of the test's own; adding a kind is one line in the suite's list
// (store_contract_test.cpp) and that function.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "fleet/record_store.h"

// A record of one test's own, and the stores opened on it.
class record_place {
 public:
  virtual ~record_place() = default;
  // A store on this record, the same record each time. The tests close one
  // store before they open the next.
  virtual std::unique_ptr<record_store> open(std::string& error) = 0;
};

struct store_kind {
  const char* name;  // the suite's name for it: letters, digits and '_'
  // A new, empty record; null with `why` when this kind cannot be tested on
  // this machine: the test is skipped, or fails when `required` is set.
  std::unique_ptr<record_place> (*make)(std::string& why, bool& required);
};

inline void PrintTo(const store_kind& kind, std::ostream* out) {
  *out << kind.name;
}

// The kinds there are.
std::unique_ptr<record_place> make_pg_place(std::string& why, bool& required);
std::unique_ptr<record_place> make_file_place(std::string& why, bool& required);
