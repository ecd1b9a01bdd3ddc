// Several connections at once, each in a slot of its own, against the
// scripted library: what one link's library threads deliver never reaches
// another's operation, channel or link watch.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "ble/gatt_sync.h"
#include "platform/clock.h"
#include "tests/support/trace_capture.h"
#include "tests/unit/ble/fake_warble.h"

namespace {

using fake_warble::call;
using fake_warble::call_record;
using fake_warble::fire_done;
using fake_warble::fire_notification;
using fake_warble::fire_read;
using fake_warble::last_on;
using fake_warble::on_next;
using bytes = std::vector<uint8_t>;

constexpr const char* STATUS_UUID = "fabbe004-4910-473c-be46-960948c2f59c";
constexpr const char* INFO_UUID = "00002a26-0000-1000-8000-00805f9b34fb";
constexpr int STATUS_INDEX = 0;
constexpr int INFO_INDEX = 1;

// One leased slot and its link's handles in the fake.
struct link_under_test {
  connection_slot* slot = nullptr;
  WarbleGatt* connection = nullptr;
  WarbleGattChar* status = nullptr;
  WarbleGattChar* info = nullptr;
};

link_under_test lease_link(int link) {
  link_under_test l;
  l.slot = connection_slot_lease();
  l.connection = fake_warble::connection(link);
  l.status = fake_warble::characteristic(STATUS_INDEX, link);
  l.info = fake_warble::characteristic(INFO_INDEX, link);
  fake_warble::add_characteristic(STATUS_UUID, l.status, l.connection);
  fake_warble::add_characteristic(INFO_UUID, l.info, l.connection);
  return l;
}

template <typename Operation>
auto start(Operation operation) {
  return std::async(std::launch::async, operation);
}

template <typename T>
T finish(std::future<T>& result) {
  EXPECT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "still blocked";
  return result.get();
}

class GattSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    set_time_compression_for_tests(1);
    fake_warble::install();
    gatt_reset_for_tests();
  }
  void TearDown() override { gatt_reset_for_tests(); }

  trace_capture trace;
};

TEST_F(GattSlots, LeasesRunOutComeBackAndNeverHandOutTheWindowsSlot) {
  std::vector<connection_slot*> leased;
  for (uint32_t i = 0; i < LEASED_CONNECTION_SLOTS; ++i) {
    connection_slot* slot = connection_slot_lease();
    ASSERT_NE(slot, nullptr);
    EXPECT_NE(slot, &window_connection_slot());
    for (connection_slot* other : leased) EXPECT_NE(slot, other);
    leased.push_back(slot);
  }
  EXPECT_EQ(connection_slot_lease(), nullptr);

  connection_slot_set_tag(*leased[3], "C4:7C:8D:6A:3E:04");
  connection_slot_return(leased[3]);
  connection_slot_return(&window_connection_slot());  // never leased: stays out of the pool
  connection_slot* again = connection_slot_lease();
  EXPECT_EQ(again, leased[3]);
  EXPECT_EQ(connection_slot_tag(*again), "") << "a returned slot keeps its old device's tag";
  EXPECT_EQ(connection_slot_lease(), nullptr);
}

// Link A's completion, disconnect and notifications, delivered from one
// library thread while link B's operation waits, touch nothing of B; A's
// disconnect handler runs inside the disconnect call while B's operation
// holds B's lock. The handlers' trace lines carry their own slot's tag.
TEST_F(GattSlots, ALinksCallbacksNeverTouchAnotherLink) {
  link_under_test a = lease_link(1);
  link_under_test b = lease_link(2);
  ASSERT_NE(a.slot, nullptr);
  ASSERT_NE(b.slot, nullptr);
  connection_slot_set_tag(*a.slot, "AA");
  connection_slot_set_tag(*b.slot, "BB");
  fake_warble::callback_thread library;

  for (link_under_test* l : {&a, &b}) {
    on_next(call::connect,
            [&library](const call_record& r) { library.post([r] { fire_done(r); }); });
    ASSERT_EQ(gatt_connect_sync(*l->slot, l->connection), GATT_OK);
    on_next(call::enable,
            [&library](const call_record& r) { library.post([r] { fire_done(r); }); });
    ASSERT_EQ(notify_enable(l->connection, STATUS_UUID, &l->slot->status), GATT_OK);
  }
  const call_record a_status = last_on(call::on_notification, a.status);
  const call_record b_status = last_on(call::on_notification, b.status);
  EXPECT_EQ(b_status.context, &b.slot->status);

  // Both slots wait for a read at once; A's completion answers A only,
  // whatever serial each slot is at.
  uint8_t a_value[4] = {};
  uint8_t b_value[4] = {};
  auto a_read = start([&] { return gatt_read_sync(*a.slot, a.connection, INFO_UUID, a_value, 4); });
  auto b_read = start([&] { return gatt_read_sync(*b.slot, b.connection, INFO_UUID, b_value, 4); });
  ASSERT_TRUE(fake_warble::await_calls(call::read, 2));
  const call_record a_read_call = last_on(call::read, a.info);
  const call_record b_read_call = last_on(call::read, b.info);
  library.post([a_read_call] { fire_read(a_read_call, {0xA1}); });
  EXPECT_EQ(finish(a_read), 1);
  EXPECT_EQ(a_value[0], 0xA1);

  // Meanwhile A's late duplicate, A's notification and A's link going down
  // come from the same library thread; B's read and B's channel see none of
  // it, and A's disconnect handler runs inside the disconnect call although
  // B's operation is in flight.
  const uint32_t b_since = notify_snapshot(b.slot->status).sequence;
  library.post([a_read_call] { fire_read(a_read_call, {0xEE}); });
  library.post([a_status] { fire_notification(a_status, {0x05}); });
  ASSERT_TRUE(library.drain());
  EXPECT_EQ(notify_wait(&a.slot->status, 0), GATT_OK);
  EXPECT_EQ(notify_wait(&b.slot->status, 0), GATT_TIMED_OUT) << "B's event was set by A";
  EXPECT_EQ(notify_snapshot(b.slot->status).sequence, b_since);

  on_next(call::disconnect, [a](const call_record&) {
    fake_warble::fire_link_down(last_on(call::on_disconnect, a.connection));
  });
  auto a_gone = start([&] { return gatt_disconnect_sync(*a.slot, a.connection); });
  EXPECT_EQ(finish(a_gone), GATT_OK);
  EXPECT_TRUE(gatt_link_lost(*a.slot, a.connection));
  EXPECT_FALSE(gatt_link_lost(*b.slot, b.connection));
  EXPECT_EQ(b_read.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
      << "B's read ended with A's link";

  // B's own answer ends B's read, with B's bytes; B's reply wait ends with
  // B's notification, not with A's lost link.
  auto b_reply = start([&] { return notify_wait_for_new(&b.slot->status, b_since, 60000); });
  library.post([b_read_call] { fire_read(b_read_call, {0xB1, 0xB2}); });
  library.post([b_status] { fire_notification(b_status, {0x00}); });
  EXPECT_EQ(finish(b_read), 2);
  EXPECT_EQ(bytes(b_value, b_value + 2), bytes({0xB1, 0xB2}));
  EXPECT_EQ(finish(b_reply), GATT_OK);

  ASSERT_TRUE(library.drain());
  EXPECT_EQ(trace.count("[AA] NOTIF Char UUID fabbe004-4910-473c-be46-960948c2f59c 05]\n"), 1u);
  EXPECT_EQ(trace.count("[AA] GATT disconnected\n"), 1u);
  EXPECT_EQ(trace.count("[AA] Received read answer 1 bytes:\n"), 1u);
  EXPECT_EQ(trace.count("[BB] NOTIF Char UUID fabbe004-4910-473c-be46-960948c2f59c 00]\n"), 1u);
  EXPECT_EQ(trace.count("[BB] Received read answer 2 bytes:\n"), 1u);

  // Deleted, A's connection is unbound from its slot first; A's handler,
  // turning up again, finds nothing of it.
  a.slot->gatt = a.connection;
  gatt_delete_if_set(*a.slot, a.connection);
  EXPECT_EQ(a.slot->gatt.load(), nullptr);
  fake_warble::fire_link_down(last_on(call::on_disconnect, a.connection));
  EXPECT_FALSE(gatt_link_lost(*a.slot, a.connection));
  EXPECT_FALSE(gatt_link_lost(*b.slot, b.connection));
}

// What the library delivers late for a slot's earlier connection (its
// connect completing again with an error, a notification of its channel,
// its link going down) is checked before it is said: as late, never under
// the tag of the device the slot serves now.
TEST_F(GattSlots, LateCallbacksNeverSpeakForTheSlotsNextDevice) {
  link_under_test l = lease_link(3);
  ASSERT_NE(l.slot, nullptr);
  connection_slot_set_tag(*l.slot, "OLD");
  on_next(call::connect, [](const call_record& r) { fire_done(r); });
  ASSERT_EQ(gatt_connect_sync(*l.slot, l.connection), GATT_OK);
  on_next(call::enable, [](const call_record& r) { fire_done(r); });
  ASSERT_EQ(notify_enable(l.connection, STATUS_UUID, &l.slot->status), GATT_OK);
  const call_record old_connect = fake_warble::last(call::connect);
  const call_record old_watch = last_on(call::on_disconnect, l.connection);
  const call_record old_status = last_on(call::on_notification, l.status);
  notify_forget(&l.slot->status);
  l.slot->gatt = l.connection;
  gatt_delete_if_set(*l.slot, l.connection);

  // The slot serves the next device on a connection of its own.
  connection_slot_set_tag(*l.slot, "NEW");
  WarbleGatt* next = fake_warble::connection(4);
  on_next(call::connect, [](const call_record& r) { fire_done(r); });
  ASSERT_EQ(gatt_connect_sync(*l.slot, next), GATT_OK);
  trace.clear();
  fire_done(old_connect, "late failure of the old link");
  fire_notification(old_status, {0x05});
  fake_warble::fire_link_down(old_watch);
  EXPECT_FALSE(trace.contains("[NEW]")) << trace.text();
  EXPECT_TRUE(trace.contains("[late] Error: late failure of the old link\n")) << trace.text();
  EXPECT_TRUE(trace.contains("[late] GATT disconnected\n")) << trace.text();
  EXPECT_FALSE(gatt_link_lost(*l.slot, next));
}

}  // namespace
