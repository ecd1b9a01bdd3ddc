// One library thread that runs tasks at their due time, in order of due
// time and, for equal times, in the order they were posted. The library
// keeps one per kind of delivery so that a program handler that blocks on
// one (its notification handler waits for an operation lock) never holds
// up another (the completion that would release that lock).
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
  // Never joined: the queue lives until the process ends, and the process
  // does not wait for its thread.
  std::thread thread_;
};

}  // namespace sim
