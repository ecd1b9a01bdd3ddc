#include <iostream>

#include "cli/cli.h"
#include "platform/os.h"

int main(int argc, char** argv) {
  return cli_main(argc, argv, cli_streams{std::cout, std::cerr, os_is_terminal(stderr), stderr});
}
