// Ctrl+C and its kin. The first one asks everything running to stop at its
// next safe point (no frame after the one in flight, the device released,
// the report written); a second one ends the process at once.
#pragma once

// What the first interruption stops, as its notice tells it.
enum class interrupted_work { scan, device };

// From here until stop_catching_interruptions, interruptions are caught.
// `announce`: the first one also says on standard error what happens next
// to `work`, as a JSON event when `as_event`. Starts from "not
// interrupted".
void catch_interruptions(bool announce, interrupted_work work, bool as_event = false);
void stop_catching_interruptions();

// Any thread: whether an interruption came since catch_interruptions.
bool interrupted();
