// The end-to-end driver: GoogleTest cases that run the real program. Where
// things are comes from the command line (CTest passes it):
//   --app=PATH --warble=PATH --sleeper=PATH --runs=FOLDER
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/e2e/ui_driver.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!e2e::read_driver_paths(argc, argv)) {
    fprintf(stderr, "usage: e2e_driver --app=PATH --warble=PATH --sleeper=PATH --runs=FOLDER\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
