#include "worker/worker.h"

#include <atomic>
#include <system_error>
#include <thread>

#include "display/display.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "worker/request_queue.h"

namespace {

// Keeps the loop from spinning after every wake-up.
constexpr uint32_t WORKER_PAUSE_MS = 1;

std::atomic<bool> worker_running{false};
// Never destroyed: set by the worker as its last act, which may come after
// the process began to exit. Set while no worker runs.
manual_event& worker_ended = *[] {
  auto* ended = new manual_event;
  ended->set();
  return ended;
}();

void run_worker_thread() {
  worker_main(nullptr);
  worker_running = false;
  worker_ended.set();
}

}  // namespace

void start_worker() {
  queue_init();
  worker_ended.reset();
  worker_running = true;
  try {
    // Detached: nothing waits for the worker, and the process exits while it
    // may still be inside a request.
    std::thread(run_worker_thread).detach();
  } catch (const std::system_error&) {
    worker_running = false;
    worker_ended.set();
    message_box(display_window::none, "No se puede crear el subproceso de aplicacion", "Error",
                box_icon::none);
  }
}

int worker_main(void*) {
  for (;;) {
    const int wait_result = queue_wait_for_post(WORKER_WAIT_MS);
    if (wait_result == QUEUE_WAIT_FAILED) {
      sleep_ms(WORKER_PAUSE_MS);
      continue;
    }
    const int end = process_requests();
    // Only a time-out means the worker had nothing to do for a while.
    if (wait_result == QUEUE_WAIT_TIMED_OUT) worker_idle();
    sleep_ms(WORKER_PAUSE_MS);
    if (end != 0) return 0;
  }
}

int process_requests() {
  while (queue_has_messages()) {
    if (queue_pop() != 0) return 1;
    const uint8_t type = popped_request.type;
    if (type == REQ_QUIT) return 1;
    if (dispatch_request(type, popped_request.length, popped_request.data) != 0) {
      // The requests behind it wait for the next wake-up.
      trace_printf("Message %d failed\n", type);
      return 0;
    }
  }
  return 0;
}

int worker_idle() {
  set_text_if_different(display_window::main, IDC_STATUS_LINE, "Idle");
  return 0;
}

bool worker_running_for_tests() {
  return worker_running.load();
}

void join_worker_for_tests() {
  while (!worker_ended.is_set()) worker_ended.wait_ms(WORKER_WAIT_MS);
}
