// The command line front end on the same core as the window: scan, info,
// update and batch. A library, so that tests drive it in-process with its
// output captured; the program itself is a tiny main around cli_main.
#pragma once

#include <cstdio>
#include <ostream>

#include "fleet/exit_status.h"

struct cli_streams {
  std::ostream& out;             // results
  std::ostream& err;             // progress, messages and, with --verbose, the trace
  bool err_is_terminal = false;  // progress rewritten in place on one line
  // The terminal takes cursor movements (several devices' lines are then
  // drawn in place as a block).
  bool err_takes_cursor_movement = false;
};

// Runs one command. Device operations run on the calling thread, which must
// be the only one running them meanwhile.
int cli_main(int argc, char** argv, const cli_streams& streams);
