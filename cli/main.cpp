#include <iostream>

#include "cli/cli.h"
#include "platform/os.h"

int main(int argc, char** argv) {
  const bool terminal = os_is_terminal(stderr);
  return cli_main(
      argc, argv,
      cli_streams{std::cout, std::cerr, terminal, terminal && os_enable_cursor_movement(stderr)});
}
