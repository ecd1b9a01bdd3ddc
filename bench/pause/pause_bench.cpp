// The packet pause as the platform delivers it: 1000 pauses of 10 ms, the
// precise way a transfer takes them and the plain way, with the median and
// the 99th percentile of each. Figures, not pass/fail; on Windows (or under
// Wine) this is what the high-resolution timer or the 1 ms timer resolution
// buys over the 15.6 ms system tick.
// Usage: pause_bench [COUNT]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/os.h"

namespace {

constexpr uint32_t PAUSE_MS = 10;

template <typename Pause>
void measure(const char* name, size_t count, Pause pause) {
  std::vector<double> lengths;
  lengths.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    pause();
    lengths.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(lengths.begin(), lengths.end());
  const auto at = [&](double share) { return lengths[static_cast<size_t>(share * (count - 1))]; };
  printf("%-34s %zu pauses of %u ms: min %.3f ms, median %.3f ms, p99 %.3f ms, max %.3f ms\n", name,
         count, PAUSE_MS, lengths.front(), at(0.5), at(0.99), lengths.back());
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? strtoul(argv[1], nullptr, 10) : 1000;
  if (count == 0) return 1;
  printf("precise pauses here: %s\n", os_precise_sleep_kind());
  {
    const precise_timing_scope transfer;
    measure("precise pause (as in a transfer)", count, [] { precise_sleep_ms(PAUSE_MS); });
  }
  measure("plain sleep (the platform's default)", count,
          [] { std::this_thread::sleep_for(std::chrono::milliseconds(PAUSE_MS)); });
  return 0;
}
