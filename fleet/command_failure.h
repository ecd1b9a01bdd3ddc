// Why a command could not go on: a stable code for a script, a message for
// a person, and the exit status it ends with.
#pragma once

#include <string>

#include "fleet/exit_status.h"

// Why a command could not go on, told to a script (a stable code) and to a
// person (a message naming what is wrong).
struct command_failure {
  std::string code;
  std::string message;
  exit_status status = exit_status::bad_input;
};
command_failure failure_of(const char* code, const std::string& message,
                           exit_status status = exit_status::bad_input);
