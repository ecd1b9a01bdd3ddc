// The end-to-end driver: GoogleTest cases that run the real program. Where
// things are comes from the command line (CTest passes it):
//   --app=PATH --warble=PATH --sleeper=PATH --runs=FOLDER
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/e2e/ui_driver.h"

namespace {

bool take_option(const char* argument, const char* name, std::string& value) {
  const size_t length = strlen(name);
  if (strncmp(argument, name, length) != 0) return false;
  value = argument + length;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  e2e::driver_paths& paths = e2e::paths();
  for (int i = 1; i < argc; ++i) {
    take_option(argv[i], "--app=", paths.app) || take_option(argv[i], "--warble=", paths.warble) ||
        take_option(argv[i], "--sleeper=", paths.sleeper) ||
        take_option(argv[i], "--runs=", paths.runs);
  }
  if (paths.app.empty() || paths.warble.empty() || paths.runs.empty()) {
    fprintf(stderr, "usage: e2e_driver --app=PATH --warble=PATH --sleeper=PATH --runs=FOLDER\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
