// Where the program's run logs go: a folder named after the product under
// the user's local application data, so a user can find a failed update's
// trace (Help > Open log folder) and send it to support.
#pragma once

#include <string>

// "%LOCALAPPDATA%\TAVREN Firmware Update\logs" in UTF-8; empty when the
// local application data folder cannot be found.
std::string log_folder();

// Starts this run's log there (the trace goes on to standard output too).
// A log that cannot be written stops nothing.
void start_logging();

// Opens the log folder in Explorer (creating it first); false when it could
// not be opened.
bool open_log_folder();
