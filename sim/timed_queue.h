// One library thread that runs tasks at their due time, in order of due
// time and, for equal times, in the order they were posted. The library
// keeps one per kind of delivery so that a program handler that blocks on
// one (its notification handler waits for an operation lock) never holds
// up another (the completion that would release that lock); unless the
// scenario asks for one thread for every handler, where it does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

using sim_clock = std::chrono::steady_clock;
using sim_time = sim_clock::time_point;

class timed_queue {
 public:
  timed_queue();
  timed_queue(const timed_queue&) = delete;
  timed_queue& operator=(const timed_queue&) = delete;

  void post(sim_time due, std::function<void()> task);
  void post_now(std::function<void()> task) { post(sim_clock::now(), std::move(task)); }

  bool on_own_thread() const { return std::this_thread::get_id() == thread_.get_id(); }
  // Waits until the task running at the call, if any, has returned (not for
  // tasks that start after it). False when `limit` ran out first.
  bool wait_for_running_task(std::chrono::nanoseconds limit);

 private:
  struct entry {
    sim_time due;
    uint64_t sequence;
    std::function<void()> task;
  };
  struct later {
    bool operator()(const entry& a, const entry& b) const {
      return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
    }
  };

  void run();

  std::mutex lock_;
  std::condition_variable wake_;
  std::vector<entry> heap_;
  uint64_t next_sequence_ = 0;
  std::condition_variable task_done_;
  bool running_ = false;
  uint64_t started_ = 0;
  uint64_t finished_ = 0;
  // Never joined: the queue lives until the process ends, and the process
  // does not wait for its thread.
  std::thread thread_;
};

}  // namespace sim
