// The PostgreSQL store in the contract suite: each test's record a schema
// of its own in the shared test server.
#include "fleet/pg_store.h"
#include "tests/fleet/store_contract.h"
#include "tests/support/pg_test_support.h"

namespace {

class pg_place : public record_place {
 public:
  bool make(const std::string& server, std::string& error) { return record_.make(server, error); }
  std::unique_ptr<record_store> open(std::string& error) override {
    exit_status status = exit_status::done;
    return open_pg_store(record_.uri(), error, status);
  }

 private:
  pg_test_record record_;
};

}  // namespace

std::unique_ptr<record_place> make_pg_place(std::string& why, bool& required) {
  required = pg_test_server_required();
  std::string server;
  if (!pg_test_server_uri(server, why)) return nullptr;
  auto place = std::make_unique<pg_place>();
  std::string error;
  if (!place->make(server, error)) {
    why = "the PostgreSQL test server at " + server + " does not answer: " + error;
    // A server named but not answering is a failure wherever it is named.
    required = true;
    return nullptr;
  }
  return place;
}
