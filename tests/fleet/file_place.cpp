// The local file store in the contract suite: each test's record a file in
// a folder of its own.
#include <unistd.h>

#include <filesystem>

#include "fleet/file_store.h"
#include "tests/fleet/store_contract.h"

namespace {

class file_place : public record_place {
 public:
  explicit file_place(std::string folder) : folder_(std::move(folder)) {}
  ~file_place() override { std::filesystem::remove_all(folder_); }
  std::unique_ptr<record_store> open(std::string& error) override {
    std::string warning;
    return file_store::open(folder_ + "/record.ndjson", false, error, warning);
  }

 private:
  std::string folder_;
};

}  // namespace

std::unique_ptr<record_place> make_file_place(std::string& why, bool& required) {
  required = true;
  char pattern[] = "/tmp/file-place-XXXXXX";
  if (!mkdtemp(pattern)) {
    why = "no folder for the record";
    return nullptr;
  }
  return std::make_unique<file_place>(pattern);
}
