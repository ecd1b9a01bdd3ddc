// Which store a record's name means.
#include "fleet/file_store.h"
#include "fleet/pg_store.h"
#include "fleet/record_store.h"

bool names_shared_record(const std::string& where) {
  return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<record_store> open_record_store(const std::string& where, store_use use,
                                                std::string& error, std::string& warning,
                                                exit_status& status) {
  status = exit_status::bad_input;
  if (names_shared_record(where)) return open_pg_store(where, error, status);
  return file_store::open(where, use == store_use::reading, error, warning);
}
