#pragma once

#include <cstdint>

#include <string>

// How a connection attempt ended. Each failure has its final report text
// (connect_failure_text), which is also what a front end tells its user.
enum class connect_result { ready, object_not_created, cannot_connect, service_not_found };
const char* connect_failure_text(connect_result result);

// Worker thread. Connects to the device at the stored address, checks the
// proprietary service, subscribes the three channels, reads the Device
// Information strings (last_device_information) and sets device_ready.
connect_result connect_device();

// Worker thread. ">>Closing device", release_device, ">>DEVICE CLOSED !!".
void close_device();

// Worker thread. Disables the channels, disconnects and deletes the
// connection; does nothing when there is none. Returns 0.
int release_device();

// Worker thread, after connect_device reported ready: whether the status
// and update channels of this connection are subscribed, as an update needs
// them (the window connects a device without them all the same, and its
// update then fails).
bool update_channels_subscribed();

// Prints "Bluetooth system initialized"; returns 0.
int report_ble_initialized();
