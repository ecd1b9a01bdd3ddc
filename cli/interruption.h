// Ctrl+C and its kin (a termination request, the terminal hanging up),
// caught for the engine (fleet/stop.h): the first one asks everything
// running to stop at its next safe point; a second one ends the process at
// once.
#pragma once

#include "fleet/stop.h"

// What the first interruption stops, as its notice tells it.
enum class interrupted_work { scan, device };

// From here until stop_catching_interruptions, interruptions are caught.
// `announce`: the first one also says on standard error what happens next
// to `work` (an event on a JSON stream), through the console: a thread of
// its own writes it, above any progress drawn in place. Starts from "not
// interrupted" and "not stopped".
void catch_interruptions(bool announce, interrupted_work work);
void stop_catching_interruptions();
