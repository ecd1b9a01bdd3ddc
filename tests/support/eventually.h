// Waiting for a condition with a bound, instead of sleeping and hoping.
#pragma once

#include <chrono>
#include <thread>

// Polls `condition` until it holds or `limit` passes; true when it held.
template <typename Condition>
bool eventually(Condition condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
