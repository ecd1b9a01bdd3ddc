#include "cli/interruption.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "cli/console_output.h"
#include "platform/os.h"

namespace {

constexpr int INTERRUPTED_STATUS = 130;

// How often the notice's thread looks for an interruption: a signal handler
// cannot wake a thread that waits, so it is looked for this often.
constexpr std::chrono::milliseconds NOTICE_LOOK_INTERVAL{20};

constexpr char FIRST_NOTICE[] =
    "Interrupted: no frame goes after the one in flight, whose reply is waited for; the "
    "device is released (Ctrl+C again ends at once)";
constexpr char SCAN_NOTICE[] =
    "Interrupted: the scan stops; what was seen is listed (Ctrl+C again ends at once)";

void on_interruption() {
  if (note_interruption() > 0) os_exit_now(INTERRUPTED_STATUS);
}

// The notice is said by a thread of its own through the console, which owns
// standard error: a write from the handler itself would land in the middle
// of whatever the console was writing, and be drawn over by its next
// redraw.
class notice_watch {
 public:
  void start(bool announce, interrupted_work work) {
    std::lock_guard<std::mutex> hold(lock_);
    announce_ = announce;
    work_ = work;
    said_ = false;
    watching_ = true;
    thread_ = std::thread([this] { watch(); });
  }

  // A notice still due (the interruption came just before the end) is said
  // before the thread goes.
  void stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      watching_ = false;
    }
    woken_.notify_all();
    if (thread_.joinable()) thread_.join();
    say_if_due();
  }

 private:
  void watch() {
    std::unique_lock<std::mutex> held(lock_);
    while (watching_) {
      held.unlock();
      say_if_due();
      held.lock();
      woken_.wait_for(held, NOTICE_LOOK_INTERVAL);
    }
  }

  void say_if_due() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (said_ || !announce_ || !interrupted()) return;
      said_ = true;
    }
    console_output::instance().notice(
        work_ == interrupted_work::scan ? SCAN_NOTICE : FIRST_NOTICE,
        nlohmann::ordered_json{{"event", "interrupted"}, {"mac", nullptr}});
  }

  std::mutex lock_;
  std::condition_variable woken_;
  std::thread thread_;
  bool announce_ = false;
  interrupted_work work_ = interrupted_work::device;
  bool said_ = false;
  bool watching_ = false;
};

notice_watch& watch() {
  static notice_watch* const instance = new notice_watch;
  return *instance;
}

}  // namespace

void catch_interruptions(bool announce, interrupted_work work) {
  reset_stops();
  watch().start(announce, work);
  os_set_interrupt_handler(on_interruption);
}

void stop_catching_interruptions() {
  os_set_interrupt_handler(nullptr);
  watch().stop();
}
