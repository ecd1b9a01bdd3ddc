#include "platform/clock.h"

#include <atomic>
#include <thread>

#include "platform/os.h"

namespace {
std::atomic<uint32_t> compression{1};
std::atomic<uint32_t> tick_offset{0};
}  // namespace

void set_time_compression_for_tests(uint32_t factor) {
  compression = factor ? factor : 1;
}

uint32_t time_compression() {
  return compression;
}

void set_tick_offset_for_tests(uint32_t offset_ms) {
  tick_offset = offset_ms;
}

std::chrono::microseconds real_duration(uint32_t nominal_ms) {
  if (nominal_ms == 0) return std::chrono::microseconds(0);
  const uint64_t micros = uint64_t{nominal_ms} * 1000u / compression;
  return std::chrono::microseconds(micros ? micros : 1);
}

void sleep_ms(uint32_t nominal_ms) {
  std::this_thread::sleep_for(real_duration(nominal_ms));
}

void precise_sleep_ms(uint32_t nominal_ms) {
  os_precise_sleep_us(static_cast<uint64_t>(real_duration(nominal_ms).count()));
}

precise_timing_scope::precise_timing_scope() {
  os_precise_timing_begin();
}

precise_timing_scope::~precise_timing_scope() {
  os_precise_timing_end();
}

uint32_t tick_count_ms() {
  return os_tick_ms() * compression + tick_offset;
}

uint32_t process_clock_ms() {
  return os_process_clock_ms();
}
