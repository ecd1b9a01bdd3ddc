// The speed and time left that a user reads while an image is sent.
#include "device/transfer_meter.h"

#include <gtest/gtest.h>

TEST(TransferMeter, RateOverTheLastSecondsAndTimeLeft) {
  transfer_meter meter;
  meter.start(600000, 1000);
  EXPECT_EQ(rate_and_time_left_text(meter.progress()), "") << "unknown before any progress";

  // 8 kB/s for 10 s, starting just before the tick counter wraps.
  meter.start(600000, 0xFFFFF000u);
  for (uint32_t second = 1; second <= 10; ++second)
    meter.sample(second * 8000, 0xFFFFF000u + second * 1000);
  transfer_progress now = meter.progress();
  EXPECT_DOUBLE_EQ(now.bytes_per_second, 8000);
  EXPECT_EQ(now.seconds_left, (600000 - 80000) / 8000);
  EXPECT_EQ(rate_and_time_left_text(now), "8.0 kB/s, 1:05 left");

  // The link slows to 2 kB/s: after the window, only the new pace counts.
  for (uint32_t second = 11; second <= 20; ++second)
    meter.sample(80000 + (second - 10) * 2000, 0xFFFFF000u + second * 1000);
  now = meter.progress();
  EXPECT_NEAR(now.bytes_per_second, 2000, 1);
  EXPECT_EQ(rate_and_time_left_text(now), "2.0 kB/s, 4:10 left");

  // From an hour left on, hours are shown.
  transfer_progress slow{1000, 10000000, 1000, 9999};
  EXPECT_EQ(rate_and_time_left_text(slow), "1.0 kB/s, 2:46:39 left");
}
