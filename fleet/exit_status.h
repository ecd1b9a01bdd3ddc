// How a command ends, as a number a script reads: the values are the
// contract, and the many-device engine decides them as the command line
// says them.
#pragma once

enum class exit_status : int {
  done = 0,
  device_failed = 1,      // the device refused, or the transfer failed
  bad_input = 2,          // bad usage, or an input that cannot be used
  not_reached = 3,        // not found, or the connection or its service check failed
  library_unusable = 4,   // the BLE library is missing or unusable
  batch_incomplete = 5,   // a batch or a line ended with a device not updated
  report_unwritable = 6,  // the report or the record could not be kept: the run stopped
  interrupted = 130,      // Ctrl+C or a termination request
};
