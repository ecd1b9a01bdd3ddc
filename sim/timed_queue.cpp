#include "sim/timed_queue.h"

#include <algorithm>

namespace sim {

timed_queue::timed_queue() : thread_([this] { run(); }) {}

void timed_queue::post(sim_time due, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    heap_.push_back(entry{due, next_sequence_++, std::move(task)});
    std::push_heap(heap_.begin(), heap_.end(), later());
  }
  wake_.notify_one();
}

bool timed_queue::wait_for_running_task(std::chrono::nanoseconds limit) {
  std::unique_lock<std::mutex> guard(lock_);
  if (!running_) return true;
  uint64_t running = started_;
  return task_done_.wait_for(guard, limit, [&] { return finished_ >= running; });
}

void timed_queue::run() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    if (heap_.empty()) {
      wake_.wait(guard);
      continue;
    }
    sim_time due = heap_.front().due;
    if (sim_clock::now() < due) {
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
    guard.lock();
    running_ = false;
    finished_ = started_;
    task_done_.notify_all();
  }
}

}  // namespace sim
