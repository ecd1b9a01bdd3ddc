// A device behind the library table that accepts every update frame at
// once and keeps nothing of it, for measuring the program's own memory: the
// stand-in library keeps every byte it receives, which would hide it.
#pragma once

// Fills the library table, makes the one connection and subscribes the
// status channel as a connection would. Replies come from a thread of
// this device.
void null_device_connect();
