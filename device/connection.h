#pragma once

#include <cstdint>

// Worker thread. Connects to the device at the stored address, checks the
// proprietary service, subscribes the three channels, reads the Device
// Information strings and sets device_ready. 0 ready, 1 failed.
int connect_device();

// Worker thread. ">>Closing device", release_device, ">>DEVICE CLOSED !!".
void close_device();

// Worker thread. Disables the channels, disconnects and deletes the
// connection; does nothing when there is none. Returns 0.
int release_device();

// Prints "Bluetooth system initialized"; returns 0.
int report_ble_initialized();
