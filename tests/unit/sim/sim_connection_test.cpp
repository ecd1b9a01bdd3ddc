// Connections, characteristic handles, reads and notifications.
#include <gtest/gtest.h>

#include <functional>
#include <list>

#include "sim_client.h"
#include "tests/support/eventually.h"

namespace simtest {
namespace {

constexpr const char* DEAD = "Characteristic handle is no longer valid";

// For completions that may arrive after the test ended.
pending& kept_alive() {
  static std::list<pending> kept;
  return kept.emplace_back();
}

class SimConnection : public ::testing::Test, public session {
 protected:
  void configure(const char* scenario) {
    ASSERT_EQ(warble_sim_configure(scenario), 0) << warble_sim_error();
  }
};

TEST_F(SimConnection, ConnectsDisconnectsAndDeletesWithHandlersOnLibraryThreads) {
  configure("");
  WarbleOption options[] = {{"mac", DEFAULT_MAC}, {"address-type", "unspecified"}};
  WarbleGatt* gatt = warble_gatt_create_with_options(2, options);
  ASSERT_NE(gatt, nullptr);
  EXPECT_EQ(warble_gatt_is_connected(gatt), 0);
  EXPECT_EQ(warble_gatt_find_characteristic(gatt, STATUS_UUID), nullptr);

  pending connected;
  warble_gatt_connect_async(gatt, &connected, pending::on_connect);
  outcome result = connected.wait();
  ASSERT_TRUE(result.arrived);
  EXPECT_FALSE(result.error);
  EXPECT_NE(result.thread, std::this_thread::get_id());
  EXPECT_EQ(warble_gatt_is_connected(gatt), 1);
  EXPECT_EQ(warble_gatt_has_service(gatt, PROPRIETARY_SERVICE_UUID), 1);
  EXPECT_EQ(warble_sim_counter("live_links"), 1);

  pending down;
  warble_gatt_on_disconnect(gatt, &down, pending::on_disconnect);
  warble_gatt_disconnect(gatt);
  EXPECT_EQ(warble_gatt_is_connected(gatt), 0);
  outcome disconnected = down.wait();
  ASSERT_TRUE(disconnected.arrived);
  EXPECT_EQ(disconnected.status, 0);
  EXPECT_NE(disconnected.thread, std::this_thread::get_id());

  // Reconnect, then delete while up: no disconnect handler.
  pending again;
  warble_gatt_connect_async(gatt, &again, pending::on_connect);
  ASSERT_FALSE(again.wait().error);
  warble_gatt_delete(gatt);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(down.calls(), 1);
  EXPECT_EQ(warble_sim_counter("connects"), 2);
  EXPECT_EQ(warble_sim_counter("disconnects"), 1);
  EXPECT_EQ(warble_sim_counter("deletes"), 1);
  EXPECT_EQ(warble_sim_counter("open_connections"), 0);
  EXPECT_EQ(warble_sim_counter("live_links"), 0);
  EXPECT_EQ(warble_sim_counter("handle_misuse"), 0);
}

TEST_F(SimConnection, ConnectFailuresComeWithAnErrorText) {
  configure("[device]\n[device]\nmac = 01:02:03:04:05:06\nconnect_error = Unreachable\n");
  connection nobody("0A:0A:0A:0A:0A:0A");
  outcome unknown = nobody.connect();
  ASSERT_TRUE(unknown.arrived);
  EXPECT_EQ(unknown.error.value_or(""), "No device found with address 0A:0A:0A:0A:0A:0A");
  connection refusing("01:02:03:04:05:06");
  EXPECT_EQ(refusing.connect().error.value_or(""), "Unreachable");
  EXPECT_EQ(warble_gatt_is_connected(refusing.gatt), 0);
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 2);
  EXPECT_EQ(warble_sim_counter("connects"), 0);
}

TEST_F(SimConnection, ConnectTimeoutNeverCompletes) {
  configure("connect_timeout = yes\n");
  pending* never = &kept_alive();  // may outlive the test if the library misbehaves
  link.create();
  warble_gatt_connect_async(link.gatt, never, pending::on_connect);
  EXPECT_FALSE(never->wait(100ms).arrived);
  EXPECT_EQ(warble_gatt_is_connected(link.gatt), 0);
}

TEST_F(SimConnection, HandlesDieWithTheirConnectionAndMisuseIsCounted) {
  ASSERT_TRUE(open(""));
  WarbleGattChar* status = link.find(STATUS_UUID);
  ASSERT_NE(status, nullptr);
  EXPECT_STREQ(warble_gattchar_get_uuid(status), STATUS_UUID);
  EXPECT_EQ(warble_gattchar_get_gatt(status), link.gatt);
  warble_gatt_disconnect(link.gatt);

  // Failures of dead handles are reported before the call returns.
  pending read_done;
  warble_gattchar_read_async(status, &read_done, pending::on_read);
  ASSERT_EQ(read_done.calls(), 1);
  EXPECT_EQ(read_done.wait().error.value_or(""), DEAD);
  pending write_done;
  uint8_t byte = 0;
  warble_gattchar_write_async(status, &byte, 1, &write_done, pending::on_done);
  EXPECT_EQ(write_done.calls(), 1);
  EXPECT_EQ(warble_gattchar_get_uuid(status), nullptr);
  EXPECT_EQ(warble_gattchar_get_gatt(status), nullptr);
  EXPECT_EQ(warble_sim_counter("handle_misuse"), 4);

  // A new link brings new handles; the old one stays dead.
  ASSERT_FALSE(link.connect().error);
  EXPECT_NE(link.find(STATUS_UUID), status);
  EXPECT_EQ(read(status).error.value_or(""), DEAD);

  WarbleGatt* deleted = link.gatt;
  warble_gatt_delete(deleted);
  link.gatt = nullptr;
  EXPECT_EQ(warble_gatt_is_connected(deleted), 0);
  pending connect_done;
  warble_gatt_connect_async(deleted, &connect_done, pending::on_connect);
  EXPECT_EQ(connect_done.calls(), 1);
  warble_gatt_delete(deleted);
  EXPECT_EQ(warble_sim_counter("handle_misuse"), 8);
  EXPECT_EQ(warble_sim_counter("open_connections"), 0);
}

TEST_F(SimConnection, ReadsDeviceInformationAndLeavesOutAbsentOnes) {
  ASSERT_TRUE(
      open("manufacturer = <absent>\nmodel_number = <empty>\nserial_number = <long>\n"
           "missing = 00002a26-0000-1000-8000-00805f9b34fb\n"));
  EXPECT_EQ(link.find(FIRMWARE_REVISION_UUID), nullptr);
  EXPECT_EQ(link.find(MANUFACTURER_NAME_UUID), nullptr);
  outcome model = read(link.find(MODEL_NUMBER_UUID));
  EXPECT_FALSE(model.error);
  EXPECT_TRUE(model.value.empty());
  EXPECT_EQ(read(link.find(SERIAL_NUMBER_UUID)).value.size(), 255u);
  // Exact lower-case UUIDs only.
  EXPECT_EQ(link.find("FABBE004-4910-473C-BE46-960948C2F59C"), nullptr);
  // The response characteristic answers the service check, empty at first.
  outcome response = read(link.find(RESPONSE_UUID));
  EXPECT_FALSE(response.error);
  EXPECT_NE(response.thread, std::this_thread::get_id());
  EXPECT_EQ(read(link.find(STATUS_UUID)).value, (bytes{0, 0}));
  EXPECT_EQ(read(link.find(COMMAND_UUID)).error.value_or(""), "Read not permitted");
  EXPECT_EQ(write(link.find(MODEL_NUMBER_UUID), {1}).error.value_or(""), "Write not permitted");
}

TEST_F(SimConnection, DefaultInformationStrings) {
  ASSERT_TRUE(open(""));
  EXPECT_EQ(text_of(read(link.find(FIRMWARE_REVISION_UUID)).value), "1.05");
  EXPECT_EQ(text_of(read(link.find(MANUFACTURER_NAME_UUID)).value), "TAVREN");
  EXPECT_EQ(text_of(read(link.find(MODEL_NUMBER_UUID)).value), "RD-1");
  EXPECT_EQ(text_of(read(link.find(SERIAL_NUMBER_UUID)).value), "SN0001");
}

TEST_F(SimConnection, ANonProprietaryDeviceHasOnlyItsInformation) {
  ASSERT_TRUE(open("proprietary = no\n"));
  for (const char* uuid : {COMMAND_UUID, STATUS_UUID, RESPONSE_UUID, UPDATE_UUID})
    EXPECT_EQ(link.find(uuid), nullptr);
  EXPECT_NE(link.find(SERIAL_NUMBER_UUID), nullptr);
  EXPECT_EQ(warble_gatt_has_service(link.gatt, PROPRIETARY_SERVICE_UUID), 0);
}

TEST_F(SimConnection, OperationFaultsCompleteWithErrors) {
  ASSERT_TRUE(
      open("read_error = 00002a29-0000-1000-8000-00805f9b34fb\n"
           "write_error = fabbe002-4910-473c-be46-960948c2f59c\n"
           "enable_error = all\n"));
  EXPECT_TRUE(read(link.find(MANUFACTURER_NAME_UUID)).error);
  EXPECT_FALSE(read(link.find(MODEL_NUMBER_UUID)).error);
  outcome written = write(link.find(COMMAND_UUID), {0, 0});
  ASSERT_TRUE(written.arrived);
  EXPECT_TRUE(written.error);
  EXPECT_EQ(warble_sim_write_count(COMMAND_UUID), 0);  // never reached the device
  pending enabled;
  warble_gattchar_enable_notifications_async(link.find(STATUS_UUID), &enabled, pending::on_done);
  EXPECT_TRUE(enabled.wait().error);
}

TEST_F(SimConnection, LateCompletionsArriveAfterTheirTime) {
  ASSERT_TRUE(open("late_completion_ms = 150\n"));
  pending* late = &kept_alive();  // outlives a failing wait
  auto start = clock::now();
  warble_gattchar_read_async(link.find(MODEL_NUMBER_UUID), late, pending::on_read);
  EXPECT_FALSE(late->wait(50ms).arrived);
  outcome result = late->wait(5000ms);
  ASSERT_TRUE(result.arrived);
  EXPECT_GE(result.when - start, 150ms);
  EXPECT_EQ(text_of(result.value), "RD-1");
}

TEST_F(SimConnection, DroppedLinkCallsTheHandlerAndKillsHandles) {
  ASSERT_TRUE(open(""));
  WarbleGattChar* command = link.find(COMMAND_UUID);
  pending down;
  warble_gatt_on_disconnect(link.gatt, &down, pending::on_disconnect);
  EXPECT_EQ(warble_sim_drop_links(), 1);
  outcome dropped = down.wait();
  ASSERT_TRUE(dropped.arrived);
  EXPECT_NE(dropped.status, 0);
  EXPECT_EQ(warble_gatt_is_connected(link.gatt), 0);
  EXPECT_EQ(write(command, {0, 0}).error.value_or(""), DEAD);
  EXPECT_EQ(warble_sim_counter("link_drops"), 1);
}

// Each kind of request counts on its own; the link goes down at the
// configured one, which is not carried out: its completion fails, after
// the disconnect handler.
TEST_F(SimConnection, DropsTheLinkAtTheConfiguredRequestOfEachKind) {
  struct request_case {
    const char* scenario;
    std::function<void(connection&, pending&)> start;
  };
  auto enable_status = [](connection& c) {
    pending enabled;
    warble_gattchar_enable_notifications_async(c.find(STATUS_UUID), &enabled, pending::on_done);
    return !enabled.wait().error;
  };
  const std::vector<request_case> cases = {
      {"drop_link_at = read:2\n",
       [](connection& c, pending& done) {
         EXPECT_FALSE(read(c.find(MODEL_NUMBER_UUID)).error);
         warble_gattchar_read_async(c.find(STATUS_UUID), &done, pending::on_read);
       }},
      {"drop_link_at = enable:1\n",
       [](connection& c, pending& done) {
         warble_gattchar_enable_notifications_async(c.find(STATUS_UUID), &done, pending::on_done);
       }},
      {"drop_link_at = disable:1\n",
       [&](connection& c, pending& done) {
         EXPECT_TRUE(enable_status(c));
         warble_gattchar_disable_notifications_async(c.find(STATUS_UUID), &done, pending::on_done);
       }},
      {"drop_link_at = command:1\n",
       [](connection& c, pending& done) {
         warble_gattchar_write_async(c.find(COMMAND_UUID), bytes{0, 0}.data(), 2, &done,
                                     pending::on_done);
       }},
      {"drop_link_at = read:2\ndrop_link_at = frame:2\n",
       [](connection& c, pending& done) {
         EXPECT_FALSE(read(c.find(MODEL_NUMBER_UUID)).error);
         EXPECT_FALSE(write(c.find(UPDATE_UUID), frame(0x7F, START_TOKEN)).error);
         warble_gattchar_write_async(c.find(UPDATE_UUID), frame(0xB1, {0, 0}).data(), 5, &done,
                                     pending::on_done);
       }},
  };
  for (const auto& test : cases) {
    configure(test.scenario);
    connection dropping;
    ASSERT_FALSE(dropping.connect().error) << test.scenario;
    WarbleGattChar* status = dropping.find(STATUS_UUID);
    pending down, done;
    warble_gatt_on_disconnect(dropping.gatt, &down, pending::on_disconnect);
    test.start(dropping, done);
    outcome failed = done.wait();
    outcome dropped = down.wait();
    ASSERT_TRUE(failed.arrived && dropped.arrived) << test.scenario;
    EXPECT_EQ(failed.error.value_or(""), "Connection lost") << test.scenario;
    EXPECT_LT(dropped.order, failed.order) << test.scenario;
    EXPECT_EQ(warble_sim_counter("link_drops"), 1) << test.scenario;
    EXPECT_EQ(read(status).error.value_or(""), DEAD) << test.scenario;
    EXPECT_EQ(warble_sim_counter("handle_misuse"), 1) << test.scenario;
  }
  EXPECT_STREQ(update_record().verdict, "link dropped at frame 2 (0xB1)");
}

TEST_F(SimConnection, NotificationsStopOnceDisabledAndDoubleRegistrationDeliversTwice) {
  ASSERT_TRUE(open("", {UPDATE_UUID}));
  warble_gattchar_on_notification_received(link.find(UPDATE_UUID), &log,
                                           notification_log::on_notification);
  EXPECT_EQ(warble_sim_notify(UPDATE_UUID, bytes{7}.data(), 1), 1);
  auto seen = log.wait_for(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].value, bytes{7});
  EXPECT_NE(seen[0].thread, std::this_thread::get_id());

  pending disabled;
  warble_gattchar_disable_notifications_async(link.find(UPDATE_UUID), &disabled, pending::on_done);
  EXPECT_FALSE(disabled.wait().error);
  EXPECT_EQ(warble_sim_notify(UPDATE_UUID, bytes{8}.data(), 1), 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(log.size(), 2u);
}

// The program's notification handler blocks until its operation ends; the
// operation ends at a completion. Completions must not queue behind it.
TEST_F(SimConnection, ABlockedNotificationHandlerDoesNotHoldUpCompletions) {
  ASSERT_TRUE(open(""));
  struct gate {
    std::mutex lock;
    std::condition_variable opened;
    bool open = false;
    std::atomic<int> entered{0};
  };
  static gate* blocking = new gate;
  ASSERT_TRUE(link.subscribe(*new notification_log, {STATUS_UUID}));
  warble_gattchar_on_notification_received(
      link.find(STATUS_UUID), nullptr, [](void*, WarbleGattChar*, const uint8_t*, uint8_t) {
        ++blocking->entered;
        std::unique_lock<std::mutex> held(blocking->lock);
        blocking->opened.wait_for(held, 10s, [] { return blocking->open; });
      });
  warble_sim_notify(STATUS_UUID, bytes{1}.data(), 1);
  ASSERT_TRUE(eventually([] { return blocking->entered.load() > 0; }));
  outcome result = read(link.find(MODEL_NUMBER_UUID), 2000ms);
  {
    std::lock_guard<std::mutex> guard(blocking->lock);
    blocking->open = true;
  }
  blocking->opened.notify_all();
  EXPECT_TRUE(result.arrived);
}

TEST_F(SimConnection, ConfigureDropsOpenConnectionsSilently) {
  ASSERT_TRUE(open(""));
  pending down;
  warble_gatt_on_disconnect(link.gatt, &down, pending::on_disconnect);
  configure("");
  EXPECT_EQ(warble_gatt_is_connected(link.gatt), 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(down.calls(), 0);
  link.gatt = nullptr;  // dead in the new world
}

}  // namespace
}  // namespace simtest
