#include "cli/interruption.h"

#include <atomic>

#include "device/firmware_update.h"
#include "device/scan.h"
#include "platform/os.h"

namespace {

// Touched by the handler: lock-free atomics only.
std::atomic<int> interruptions{0};
std::atomic<bool> announce_first{false};
std::atomic<bool> scan_only{false};
std::atomic<bool> notice_as_event{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

constexpr int INTERRUPTED_STATUS = 130;

// Starts on a line of its own: a progress line may be half written.
constexpr char FIRST_NOTICE[] =
    "\nInterrupted: no frame goes after the one in flight, whose reply is waited for; the "
    "device is released (Ctrl+C again ends at once)\n";
// On a JSON stream: a whole line of its own (a line being written by the
// program's own thread may be cut, and the reader then drops that one).
constexpr char EVENT_NOTICE[] = "\n{\"event\": \"interrupted\", \"mac\": null}\n";
constexpr char SCAN_NOTICE[] =
    "\nInterrupted: the scan stops; what was seen is listed (Ctrl+C again ends at once)\n";

void on_interruption() {
  if (interruptions.fetch_add(1) > 0) os_exit_now(INTERRUPTED_STATUS);
  request_update_stop();
  abort_requested_scans();
  if (!announce_first.load()) return;
  if (notice_as_event.load()) {
    os_write_raw(2, EVENT_NOTICE, static_cast<unsigned>(sizeof EVENT_NOTICE - 1));
  } else if (scan_only.load()) {
    os_write_raw(2, SCAN_NOTICE, static_cast<unsigned>(sizeof SCAN_NOTICE - 1));
  } else {
    os_write_raw(2, FIRST_NOTICE, static_cast<unsigned>(sizeof FIRST_NOTICE - 1));
  }
}

}  // namespace

void catch_interruptions(bool announce, interrupted_work work, bool as_event) {
  interruptions = 0;
  announce_first = announce;
  scan_only = work == interrupted_work::scan;
  notice_as_event = as_event;
  clear_update_stop();
  os_set_interrupt_handler(on_interruption);
}

void stop_catching_interruptions() {
  os_set_interrupt_handler(nullptr);
}

bool interrupted() {
  return interruptions.load() > 0;
}
