#include "platform/signals.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/os.h"

// Both handlers may run on any thread, inside any library call: they touch
// no lock and no stdio buffer, only one raw write and an immediate exit.
// Pending trace output is lost, which is why the trace flushes every line.

const char* fatal_signal_text(int signal_number) {
  switch (signal_number) {
    case SIGINT:
      return "Caught SIGINT: interactive attention signal, probably a ctrl+c\n";
    case SIGILL:
      return "Caught SIGILL: illegal instruction\n";
    case SIGFPE:
      return "Caught SIGFPE: arithmetic exception, such as divide by zero\n";
    case SIGSEGV:
      return "Caught SIGSEGV: segfault\n";
    case SIGABRT:
      return "Caught SIGABRT: usually caused by an abort() or assert()\n";
    default:
      return "Caught SIGTERM: a termination request was sent to the program\n";
  }
}

void fatal_signal_handler(int signal_number) {
  const char* text = fatal_signal_text(signal_number);
  os_write_raw(2, text, static_cast<unsigned>(strlen(text)));
  os_exit_now(1);
}

void numbered_signal_handler(int signal_number) {
  // "signal %d\n" without the printf family, which is not signal-safe.
  char text[32] = "signal ";
  size_t at = strlen(text);
  char digits[12];
  size_t count = 0;
  long value = signal_number;
  const bool negative = value < 0;
  if (negative) value = -value;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && count < sizeof digits);
  if (negative) text[at++] = '-';
  while (count > 0) text[at++] = digits[--count];
  text[at++] = '\n';
  os_write_raw(1, text, static_cast<unsigned>(at));
  os_exit_now(1);
}

void install_fatal_signal_handlers() {
  const int signals[] = {SIGABRT, SIGFPE, SIGILL, SIGINT, SIGSEGV, SIGTERM};
  for (int s : signals) signal(s, fatal_signal_handler);
}
