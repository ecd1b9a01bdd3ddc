#include "fleet/stop.h"

#include <atomic>

#include "device/connection.h"
#include "device/firmware_update.h"
#include "device/scan.h"

namespace {

// Touched by a signal handler: lock-free atomics only.
std::atomic<int> interruptions{0};
std::atomic<bool> stop_asked{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// What stops everything running; safe in a signal handler.
void stop_everything() {
  request_update_stop();
  stop_connection_setups();
  abort_requested_scans();
}

}  // namespace

void reset_stops() {
  interruptions = 0;
  stop_asked = false;
  clear_update_stop();
  allow_connection_setups();
}

int note_interruption() {
  const int before = interruptions.fetch_add(1);
  stop_everything();
  return before;
}

bool interrupted() {
  return interruptions.load() > 0;
}

void request_stop() {
  stop_asked = true;
  stop_everything();
}

bool stop_requested() {
  return interrupted() || stop_asked.load();
}
