// Ctrl+C and its kin (a termination request, the terminal hanging up). The
// first one asks everything running to stop at its next safe point (no
// frame after the one in flight, no connection started, the device
// released, the report written); a second one ends the process at once.
// A command may decide such a stop itself too (a report that can no longer
// be written): everything running stops the same way, but the command was
// not interrupted.
#pragma once

// What the first interruption stops, as its notice tells it.
enum class interrupted_work { scan, device };

// From here until stop_catching_interruptions, interruptions are caught.
// `announce`: the first one also says on standard error what happens next
// to `work` (an event on a JSON stream), through the console: a thread of
// its own writes it, above any progress drawn in place. Starts from "not
// interrupted" and "not stopped".
void catch_interruptions(bool announce, interrupted_work work);
void stop_catching_interruptions();

// Any thread: whether an interruption came since catch_interruptions.
bool interrupted();

// Any thread: everything running stops as after an interruption (every
// transfer after its frame in flight, no connection or search started).
void request_stop();

// Any thread: an interruption came, or a stop was requested.
bool stop_requested();
