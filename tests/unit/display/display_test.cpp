#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/device_list.h"
#include "display/display.h"
#include "platform/clock.h"
#include "tests/support/recording_display.h"
#include "tests/support/trace_capture.h"

namespace {

class DisplayTest : public ::testing::Test {
 protected:
  void TearDown() override {
    device_list_close();
    set_time_compression_for_tests(1);
  }

  recording_display record;
  trace_capture trace;
};

TEST_F(DisplayTest, StatusGoesToTheStatusLineOnlyWhenChangedAndAlwaysToTheTrace) {
  status_printf("Sending %u%%\n", 45u);
  status_printf("Sending %u%%\n", 45u);
  status_printf("%s", std::string(1100, 'x').c_str());
  const auto texts = record.texts_set(display_window::main, IDC_STATUS_LINE);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "Sending 45%\n");
  EXPECT_EQ(texts[1], std::string(1023, 'x'));
  EXPECT_EQ(trace.text(), "Sending 45%\nSending 45%\n" + std::string(1023, 'x'));
}

TEST_F(DisplayTest, ConnectProgressIsDroppedWhileTheDialogIsClosed) {
  record.set_connect_progress_open(false);
  report_connect_progress(PROGRESS_FULL, "Connected %d", 1);
  EXPECT_TRUE(record.connect_reports().empty());
  EXPECT_EQ(record.connect_ends(), 0);
  EXPECT_EQ(trace.text(), "");
}

// How long the dialog then stays up is the window's business.
TEST_F(DisplayTest, OnlyTheFullReportEndsTheDialog) {
  report_connect_progress(999, "Step %d", 9);
  EXPECT_EQ(record.connect_ends(), 0);
  report_connect_progress(PROGRESS_FULL, "System READY");
  EXPECT_EQ(record.connect_ends(), 1);
  const auto reports = record.connect_reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], std::make_pair(999u, std::string("Step 9")));
  EXPECT_EQ(reports[1], std::make_pair(PROGRESS_FULL, std::string("System READY")));
  EXPECT_EQ(trace.text(), "Step 9\nSystem READY\n");
}

TEST_F(DisplayTest, AMacSeenAgainKeepsItsRowWhateverItsLetterCase) {
  EXPECT_EQ(device_list_add("AA:BB:CC:00:11:22", "first", -40), 1);  // no list yet
  device_list_init();
  EXPECT_EQ(device_list_add("AA:BB:CC:00:11:22", "first", -40), 0);
  EXPECT_EQ(device_list_add("DD:EE:FF:00:11:22", "other", -80), 0);
  EXPECT_EQ(device_list_add("aa:bb:cc:00:11:22", "second", -67), 0);
  const auto rows = record.rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].mac, "AA:BB:CC:00:11:22");
  EXPECT_EQ(rows[0].name, "second");
  EXPECT_EQ(rows[0].rssi, "-67 dBm");
  EXPECT_EQ(rows[1].name, "other");
}

TEST_F(DisplayTest, AFullListChangesNothingMore) {
  device_list_init();
  for (int i = 0; i < DEVICE_LIST_MAX_ROWS; ++i)
    ASSERT_EQ(device_list_add(std::to_string(i).c_str(), "n", -50), 0) << i;
  EXPECT_EQ(device_list_add("new", "n", -50), 1);
  EXPECT_EQ(device_list_add("7", "renamed", -1), 1);
  const auto rows = record.rows();
  ASSERT_EQ(rows.size(), static_cast<size_t>(DEVICE_LIST_MAX_ROWS));
  EXPECT_EQ(rows[7].name, "n");
}

TEST_F(DisplayTest, MissingAndOverlongTextsAreBounded) {
  device_list_init();
  EXPECT_EQ(device_list_add(nullptr, "name", -50), 1);
  EXPECT_EQ(device_list_add("11:22", nullptr, -50), 0);
  const std::string long_text(100000, 'm');
  EXPECT_EQ(device_list_add(long_text.c_str(), long_text.c_str(), -50), 0);
  const auto rows = record.rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, "");
  EXPECT_EQ(rows[1].mac, std::string(254, 'm'));
  EXPECT_EQ(rows[1].name, std::string(254, 'm'));
}

TEST_F(DisplayTest, AClearEmptiesTheListAndAClosedListTakesNoRows) {
  device_list_init();
  ASSERT_EQ(device_list_add("11:22", "before", -50), 0);
  device_list_clear();
  EXPECT_TRUE(record.rows().empty());
  ASSERT_EQ(device_list_add("33:44", "after", -50), 0);
  ASSERT_EQ(device_list_add("11:22", "again", -50), 0);
  const auto rows = record.rows();
  ASSERT_EQ(rows.size(), 2u);  // first seen since the clear, first row
  EXPECT_EQ(rows[0].name, "after");
  EXPECT_EQ(rows[1].name, "again");

  device_list_close();
  EXPECT_EQ(device_list_add("55:66", "late", -50), 1);
  EXPECT_EQ(record.rows().size(), 2u);
}

// A user chooses a row by its name and connects to its MAC: whatever posts
// fail, a row never shows another device's texts.
TEST_F(DisplayTest, FailedRowPostsNeverPutOneDevicesNameOnAnothersRow) {
  auto mac_of = [](int device) {
    char mac[32];
    snprintf(mac, sizeof mac, "AA:00:00:00:00:%02d", device);
    return std::string(mac);
  };
  record.fail_row_posts_every(3);
  device_list_init();
  for (int round = 0; round < 5; ++round) {
    for (int device = 0; device < 40; ++device) {
      const std::string name = mac_of(device) + " #" + std::to_string(round);
      device_list_add(mac_of(device).c_str(), name.c_str(), -40 - round);
    }
  }
  record.fail_row_posts_every(0);
  device_list_add(mac_of(0).c_str(), (mac_of(0) + " #5").c_str(), -45);

  const auto rows = record.rows();
  ASSERT_EQ(rows.size(), 40u);
  for (int device = 0; device < 40; ++device) {
    EXPECT_EQ(rows[device].mac, mac_of(device));
    EXPECT_EQ(rows[device].name, mac_of(device) + (device ? " #4" : " #5"));
    EXPECT_EQ(rows[device].rssi, device ? "-44 dBm" : "-45 dBm");
  }
}

// Scan threads flood adverts of known and new devices while a slow UI
// thread catches up now and then: one request waits at a time, and every
// row it shows belongs to its MAC.
TEST_F(DisplayTest, AFloodWhileTheUiIsSlowKeepsOneRequestPendingAndRowsTrue) {
  record.hold_device_rows(true);
  device_list_init();
  std::atomic<bool> scanning{true};
  std::atomic<int> most_pending{0};
  std::vector<std::thread> scanners;
  for (int t = 0; t < 4; ++t) {
    scanners.emplace_back([t] {
      for (int i = 0; i < 2000; ++i) {
        const std::string mac = std::to_string((i + t * 50) % 250);
        device_list_add(mac.c_str(), ("of " + mac).c_str(), -i % 90);
      }
    });
  }
  std::thread ui([&] {
    while (scanning) {
      const int pending = record.device_row_requests_pending();
      most_pending = std::max(most_pending.load(), pending);
      if (pending > 0) record.take_device_rows();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (auto& s : scanners) s.join();
  scanning = false;
  ui.join();
  do record.take_device_rows();
  while (record.device_row_requests_pending() > 0);
  EXPECT_LE(most_pending.load(), 1);
  std::set<std::string> macs;
  for (const auto& row : record.rows()) {
    EXPECT_EQ(row.name, "of " + row.mac);
    macs.insert(row.mac);
  }
  EXPECT_EQ(macs.size(), 250u);
  EXPECT_EQ(record.rows().size(), 250u);
}

}  // namespace
