// How a connection that never became ready is let go, against the scripted
// library: the object is deleted only once its link, or the attempt still
// under way, was asked to go.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "ble/gatt_sync.h"
#include "device/connection.h"
#include "device/device_state.h"
#include "platform/clock.h"
#include "tests/unit/ble/fake_warble.h"

namespace {

using fake_warble::call;

// The 10 s operation time-out and the 1 s pauses pass in milliseconds.
constexpr uint32_t FAST = 1000;

class AbandonedConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    set_time_compression_for_tests(FAST);
    fake_warble::install();
    gatt_reset_for_tests();
    ASSERT_EQ(set_device_address("C4:7C:8D:6A:3E:01"), 0);
  }
  void TearDown() override { set_time_compression_for_tests(1); }

  // Whether the library was asked to disconnect before the object was
  // deleted, and it was deleted.
  static bool disconnected_then_deleted() {
    const std::vector<call> calls = fake_warble::sequence();
    const auto disconnect = std::find(calls.begin(), calls.end(), call::disconnect);
    const auto deleted = std::find(calls.begin(), calls.end(), call::delete_gatt);
    return disconnect != calls.end() && deleted != calls.end() && disconnect < deleted;
  }
};

TEST_F(AbandonedConnection, AConnectThatNeverAnsweredIsCalledOffFirst) {
  fake_warble::set_connected(false);
  EXPECT_EQ(connect_device(), connect_result::cannot_connect);
  EXPECT_TRUE(disconnected_then_deleted());
  EXPECT_EQ(gatt.load(), nullptr);
}

TEST_F(AbandonedConnection, ALinkWithoutOurServiceIsDisconnectedFirst) {
  fake_warble::on_next(call::connect,
                       [](const fake_warble::call_record& r) { fake_warble::fire_done(r); });
  fake_warble::on_next(call::disconnect, [](const fake_warble::call_record&) {
    fake_warble::fire_link_down(fake_warble::last(call::on_disconnect));
  });
  // No characteristic is known: the service check's read fails.
  EXPECT_EQ(connect_device(), connect_result::service_not_found);
  EXPECT_TRUE(disconnected_then_deleted());
}

TEST_F(AbandonedConnection, AConnectRefusedByTheLibraryIsDeletedAtOnce) {
  fake_warble::on_next(call::connect, [](const fake_warble::call_record& r) {
    fake_warble::fire_done(r, "Unreachable");
  });
  EXPECT_EQ(connect_device(), connect_result::cannot_connect);
  EXPECT_EQ(fake_warble::count(call::disconnect), 0u);
  EXPECT_EQ(fake_warble::count(call::delete_gatt), 1u);
}

}  // namespace
