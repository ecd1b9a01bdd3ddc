// The command line front end on the same core as the window: scan, info,
// update and batch. A library, so that tests drive it in-process with its
// output captured; the program itself is a tiny main around cli_main.
#pragma once

#include <cstdio>
#include <ostream>

// The exit statuses people script against; their values are the contract.
enum class exit_status : int {
  done = 0,
  device_failed = 1,      // the device refused, or the transfer failed
  bad_input = 2,          // bad usage, or an input that cannot be used
  not_reached = 3,        // not found, or the connection or its service check failed
  library_unusable = 4,   // the BLE library is missing or unusable
  batch_incomplete = 5,   // a batch ended with a device not updated
  report_unwritable = 6,  // the batch report could not be written: the batch stopped
  interrupted = 130,      // Ctrl+C or a termination request
};

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
