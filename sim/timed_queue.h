// One library thread that runs tasks at their due time, in order of due
// time and, for equal times, in the order they were posted. The library
// keeps one per kind of delivery so that a program handler that blocks on
// one (its notification handler waits for an operation lock) never holds
// up another (the completion that would release that lock); unless the
// scenario asks for one thread for every handler, where it does.
//
// The stand-in's time is the steady clock, unless a test drives it
// (warble_sim_drive_clock): then it stands still between the test's steps,
// and a step runs what falls due at the moment it moves to on the queues'
// own threads, returning once all of it, and what it posted for that same
// moment, has run. A figure measured so depends on the simulation alone,
// never on how fast the machine's threads happen to run.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace sim {

struct sim_clock {
  using duration = std::chrono::steady_clock::duration;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::steady_clock::time_point;
  static constexpr bool is_steady = true;
  static time_point now();
};
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
  friend class driven_clock;

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
  // For the driven clock (lock_ held): nothing running, nothing due by `t`.
  bool idle_at(sim_time t) const;
  std::optional<sim_time> earliest_due() const;
  void wake();

  mutable std::mutex lock_;
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

// The test's hold on the stand-in's time. One for the process; every
// timed_queue is known to it.
class driven_clock {
 public:
  static driven_clock& instance();

  bool driven() const { return driven_.load(std::memory_order_acquire); }
  sim_time now() const;
  // Tasks due up to here may run (while driven).
  sim_time horizon() const;
  // Real time again (false), or time that stands still at the present
  // moment until advanced (true). Not while a step runs: the test that
  // drives the clock is the one caller of both.
  void drive(bool on);
  // The driven clock, in microseconds since driving began.
  int64_t now_us() const;
  // Moves to the earliest moment before `until_us` at which a queue has a
  // task due and runs everything due then; else to `until_us`, running
  // nothing due at it yet. The new time, or -1 when the tasks were not all
  // done within `limit` of real time (a handler that never returns), or
  // when the clock is not driven.
  int64_t advance(int64_t until_us, std::chrono::milliseconds limit);

 private:
  friend class timed_queue;

  void enrol(timed_queue* queue);
  // A post or a task's end: what a step waits on to know it is complete.
  void note_activity();
  void move_to(sim_time t, sim_time horizon);
  // Waits until every task due by the horizon has run, and none runs.
  bool settle(std::chrono::milliseconds limit);
  std::vector<timed_queue*> queues() const;

  std::atomic<bool> driven_{false};
  // While driven, in nanoseconds of the steady clock: the time, where
  // driving began, and how far tasks may run (just short of the time while
  // the test acts before what is due at it).
  std::atomic<int64_t> now_ns_{0};
  std::atomic<int64_t> origin_ns_{0};
  std::atomic<int64_t> horizon_ns_{0};
  std::atomic<uint64_t> activity_{0};
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<timed_queue*> queues_;
  std::mutex step_lock_;  // one step at a time
};

}  // namespace sim
