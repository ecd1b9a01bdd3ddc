#include "sim/timed_queue.h"

#include <algorithm>

namespace sim {

namespace {

using std::chrono::nanoseconds;
using std::chrono::steady_clock;

sim_time at_ns(int64_t ns) {
  return sim_time(nanoseconds(ns));
}

int64_t ns_of(sim_time t) {
  return std::chrono::duration_cast<nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

sim_clock::time_point sim_clock::now() {
  const driven_clock& clock = driven_clock::instance();
  return clock.driven() ? clock.now() : steady_clock::now();
}

timed_queue::timed_queue() : thread_([this] { run(); }) {
  driven_clock::instance().enrol(this);
}

void timed_queue::post(sim_time due, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    heap_.push_back(entry{due, next_sequence_++, std::move(task)});
    std::push_heap(heap_.begin(), heap_.end(), later());
  }
  wake_.notify_one();
  driven_clock::instance().note_activity();
}

bool timed_queue::wait_for_running_task(std::chrono::nanoseconds limit) {
  std::unique_lock<std::mutex> guard(lock_);
  if (!running_) return true;
  uint64_t running = started_;
  return task_done_.wait_for(guard, limit, [&] { return finished_ >= running; });
}

bool timed_queue::idle_at(sim_time t) const {
  return !running_ && (heap_.empty() || heap_.front().due > t);
}

std::optional<sim_time> timed_queue::earliest_due() const {
  if (heap_.empty()) return std::nullopt;
  return heap_.front().due;
}

void timed_queue::wake() {
  { std::lock_guard<std::mutex> guard(lock_); }
  wake_.notify_all();
}

void timed_queue::run() {
  driven_clock& clock = driven_clock::instance();
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    if (heap_.empty()) {
      wake_.wait(guard);
      continue;
    }
    sim_time due = heap_.front().due;
    if (clock.driven()) {
      // Only a step moves driven time: it wakes every queue when it does.
      if (due > clock.horizon()) {
        wake_.wait(guard);
        continue;
      }
    } else if (steady_clock::now() < due) {
      wake_.wait_until(guard, due);
      continue;
    }
    std::pop_heap(heap_.begin(), heap_.end(), later());
    std::function<void()> task = std::move(heap_.back().task);
    heap_.pop_back();
    running_ = true;
    ++started_;
    guard.unlock();
    task();
    // Whatever it captured goes before the step that waits for it may end.
    task = nullptr;
    guard.lock();
    running_ = false;
    finished_ = started_;
    task_done_.notify_all();
    clock.note_activity();
  }
}

driven_clock& driven_clock::instance() {
  // Never destroyed: queue threads use it until the process ends.
  static driven_clock* clock = new driven_clock;
  return *clock;
}

sim_time driven_clock::now() const {
  return at_ns(now_ns_.load(std::memory_order_acquire));
}

sim_time driven_clock::horizon() const {
  return at_ns(horizon_ns_.load(std::memory_order_acquire));
}

int64_t driven_clock::now_us() const {
  return (now_ns_.load(std::memory_order_acquire) - origin_ns_.load()) / 1000;
}

void driven_clock::enrol(timed_queue* queue) {
  std::lock_guard<std::mutex> guard(lock_);
  queues_.push_back(queue);
}

std::vector<timed_queue*> driven_clock::queues() const {
  std::lock_guard<std::mutex> guard(lock_);
  return queues_;
}

void driven_clock::note_activity() {
  activity_.fetch_add(1, std::memory_order_acq_rel);
  if (!driven()) return;
  { std::lock_guard<std::mutex> guard(lock_); }
  changed_.notify_all();
}

void driven_clock::move_to(sim_time t, sim_time horizon) {
  now_ns_.store(ns_of(t), std::memory_order_release);
  horizon_ns_.store(ns_of(horizon), std::memory_order_release);
  for (timed_queue* queue : queues()) queue->wake();
}

void driven_clock::drive(bool on) {
  if (on == driven()) return;
  if (on) {
    const sim_time start = steady_clock::now();
    origin_ns_.store(ns_of(start));
    now_ns_.store(ns_of(start), std::memory_order_release);
    horizon_ns_.store(ns_of(start), std::memory_order_release);
  }
  driven_.store(on, std::memory_order_release);
  for (timed_queue* queue : queues()) queue->wake();
}

bool driven_clock::settle(std::chrono::milliseconds limit) {
  const auto deadline = steady_clock::now() + limit;
  for (;;) {
    const uint64_t seen = activity_.load(std::memory_order_acquire);
    const sim_time t = horizon();
    bool idle = true;
    for (timed_queue* queue : queues()) {
      std::lock_guard<std::mutex> guard(queue->lock_);
      if (!queue->idle_at(t)) {
        idle = false;
        break;
      }
    }
    // A task that posted to a queue already looked at, and then ended,
    // shows as activity in between.
    if (idle && activity_.load(std::memory_order_acquire) == seen) return true;
    std::unique_lock<std::mutex> held(lock_);
    if (!changed_.wait_until(held, deadline, [&] { return activity_.load() != seen; }))
      return false;
  }
}

int64_t driven_clock::advance(int64_t until_us, std::chrono::milliseconds limit) {
  std::lock_guard<std::mutex> step(step_lock_);
  if (!driven()) return -1;
  // What fell due at the present moment, the test's calls there included,
  // runs now that the test has had its turn at it.
  const sim_time current = now();
  move_to(current, current);
  if (!settle(limit)) return -1;
  const sim_time until = at_ns(origin_ns_.load()) + std::chrono::microseconds(until_us);
  if (until <= current) return now_us();
  std::optional<sim_time> next;
  for (timed_queue* queue : queues()) {
    std::lock_guard<std::mutex> guard(queue->lock_);
    std::optional<sim_time> due = queue->earliest_due();
    if (due && (!next || *due < *next)) next = due;
  }
  if (next && *next < until) {
    move_to(*next, *next);
    if (!settle(limit)) return -1;
  } else {
    // The test acts at `until` before anything due there.
    move_to(until, until - nanoseconds(1));
  }
  return now_us();
}

}  // namespace sim
