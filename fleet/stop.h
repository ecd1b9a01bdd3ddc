// Stopping whatever the engine runs at its next safe point: no frame after
// the one in flight, no connection or search started, every device
// released. Two causes: an interruption from outside (Ctrl+C and its kin,
// which the front end catches and hands on), and a stop the engine decides
// itself (a report or a record that can no longer be kept).
#pragma once

// Starts from "not interrupted" and "not stopped"; before a command runs.
void reset_stops();

// Any thread, also a signal handler: an interruption came. Stops
// everything as request_stop does. Returns how many came before this one.
int note_interruption();

// Any thread: whether an interruption came since reset_stops.
bool interrupted();

// Any thread: everything running stops as after an interruption (every
// transfer after its frame in flight, no connection or search started).
void request_stop();

// Any thread: an interruption came, or a stop was requested.
bool stop_requested();
