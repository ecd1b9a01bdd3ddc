// Fatal signals: a line naming the signal, then exit status 1.
#pragma once

// Installs fatal_signal_handler for SIGABRT, SIGFPE, SIGILL, SIGINT,
// SIGSEGV and SIGTERM, in that order.
void install_fatal_signal_handlers();

// Writes the signal's text to standard error and ends the process with 1.
[[noreturn]] void fatal_signal_handler(int signal_number);

// Writes "signal %d\n" to standard output and ends the process with 1.
[[noreturn]] void numbered_signal_handler(int signal_number);

// The text fatal_signal_handler writes for a signal number.
const char* fatal_signal_text(int signal_number);
