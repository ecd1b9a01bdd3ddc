// Time as the program sees it. Every protocol duration is written with its
// documented value at the call site; the one test hook below makes all of
// them pass faster at once, so the shipped program never carries test values.
#pragma once

#include <chrono>
#include <cstdint>

// Tests only: make program time run `factor` times faster than real time
// (1, the default, is real time). Sleeps and timed waits last 1/factor of
// their nominal duration and tick_count_ms() advances factor times faster.
void set_time_compression_for_tests(uint32_t factor);
uint32_t time_compression();

// Tests only: shift the tick origin, to exercise the 32-bit wrap.
void set_tick_offset_for_tests(uint32_t offset_ms);

// The real duration of a nominal one, after compression (never below 1 µs
// for a non-zero duration, so a short pause still yields the CPU).
std::chrono::microseconds real_duration(uint32_t nominal_ms);

// Sleeps for a nominal duration in milliseconds.
void sleep_ms(uint32_t nominal_ms);

// A pause that must last its length, not the next tick of the system timer
// (the packet pause of a transfer; see os_precise_sleep_us).
void precise_sleep_ms(uint32_t nominal_ms);

// Lives as long as a stretch of precise pauses (a transfer): on a system
// whose precise pauses need a finer system timer, it holds that timer
// resolution while it lives and gives it back after.
class precise_timing_scope {
 public:
  precise_timing_scope();
  ~precise_timing_scope();
  precise_timing_scope(const precise_timing_scope&) = delete;
  precise_timing_scope& operator=(const precise_timing_scope&) = delete;
};

// Millisecond tick in program time; wraps like GetTickCount, so callers
// compare elapsed differences in uint32_t arithmetic only.
uint32_t tick_count_ms();

// Real milliseconds since process start, for trace stamps.
uint32_t process_clock_ms();
