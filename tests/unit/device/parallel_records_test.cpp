// Two devices served at once, each through a device record of its own, on
// two threads, against the scripted library playing two simple devices:
// each record gets its own device's replies, its own frames reach only its
// own device, one connection is set up at a time, and each record's trace
// lines and reports are its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ble/gatt_sync.h"
#include "device/command_channel.h"
#include "device/connection.h"
#include "device/device_state.h"
#include "device/firmware_update.h"
#include "device/uuids.h"
#include "platform/clock.h"
#include "tests/support/eventually.h"
#include "tests/support/recording_display.h"
#include "tests/support/reference_crc.h"
#include "tests/support/trace_capture.h"
#include "tests/unit/ble/fake_warble.h"

namespace {

using fake_warble::call;
using fake_warble::call_record;
using bytes = std::vector<uint8_t>;

// The 10 s waits last half a second, the 1 s pauses 50 ms.
constexpr uint32_t COMPRESSION = 20;

// A device's characteristics, by their index among its link's handles.
enum characteristic_index {
  COMMAND,
  STATUS,
  RESPONSE,
  UPDATE,
  REVISION,
  MANUFACTURER,
  MODEL,
  SERIAL
};

const std::map<characteristic_index, const char*> UUIDS = {
    {COMMAND, COMMAND_CHAR_UUID},       {STATUS, STATUS_CHAR_UUID},
    {RESPONSE, RESPONSE_CHAR_UUID},     {UPDATE, UPDATE_CHAR_UUID},
    {REVISION, FIRMWARE_REVISION_UUID}, {MANUFACTURER, MANUFACTURER_NAME_UUID},
    {MODEL, MODEL_NUMBER_UUID},         {SERIAL, SERIAL_NUMBER_UUID},
};

std::string serial_of_link(int link) {
  return "SN-" + std::to_string(link);
}

std::string date_of_link(int link) {
  return "date of " + std::to_string(link);
}

bytes text_bytes(const std::string& text) {
  return bytes(text.begin(), text.end());
}

// Simple devices behind the scripted library: each link answers reads,
// subscriptions, commands and update frames from a library thread (one for
// every link, or one per link), and its disconnect handler runs inside the
// disconnect call, as on Windows.
class scripted_devices {
 public:
  explicit scripted_devices(bool one_callback_thread) : one_thread_(one_callback_thread) {
    fake_warble::set_responder([this](const call_record& r) { respond(r); });
  }
  ~scripted_devices() { fake_warble::set_responder(nullptr); }

  void add(int link, const std::string& mac) {
    fake_warble::assign_link(mac, link);
    for (const auto& [index, uuid] : UUIDS)
      fake_warble::add_characteristic(uuid, handle(index, link), fake_warble::connection(link));
    threads_[link] = one_thread_ && !threads_.empty()
                         ? threads_.begin()->second
                         : std::make_shared<fake_warble::callback_thread>();
  }

  static WarbleGattChar* handle(characteristic_index index, int link) {
    return fake_warble::characteristic(index, link);
  }

 private:
  void post(int link, std::function<void()> work) { threads_.at(link)->post(std::move(work)); }

  void notify(int link, characteristic_index index, const bytes& value) {
    post(link, [link, index, value] {
      const call_record registration =
          fake_warble::last_on(call::on_notification, handle(index, link));
      if (registration.notified) fake_warble::fire_notification(registration, value);
    });
  }

  void respond(const call_record& r) {
    const int link = r.chr ? fake_warble::link_of(r.chr) : fake_warble::link_of(r.gatt);
    if (!threads_.count(link)) return;
    switch (r.kind) {
      case call::connect: {
        fake_warble::set_connected(r.gatt, true);
        // The link comes up after a moment in which another connection
        // being created, were that allowed, would show.
        const size_t creations = fake_warble::count(call::create);
        post(link, [r, creations] {
          eventually([&] { return fake_warble::count(call::create) > creations; },
                     std::chrono::milliseconds(100));
          fake_warble::fire_done(r);
        });
        break;
      }
      case call::enable:
      case call::disable:
        post(link, [r] { fake_warble::fire_done(r); });
        break;
      case call::read:
        post(link, [r, value = read_value(r.chr, link)] { fake_warble::fire_read(r, value); });
        break;
      case call::write:
        post(link, [r] { fake_warble::fire_done(r); });
        answer_command(link, r.bytes);
        break;
      case call::write_no_resp:
        post(link, [r] { fake_warble::fire_done(r); });
        notify(link, STATUS, {0x00, r.bytes.at(0)});
        break;
      case call::disconnect:
        fake_warble::set_connected(r.gatt, false);
        fake_warble::fire_link_down(fake_warble::last_on(call::on_disconnect, r.gatt));
        break;
      default:
        break;
    }
  }

  static bytes read_value(WarbleGattChar* chr, int link) {
    if (chr == handle(SERIAL, link)) return text_bytes(serial_of_link(link));
    if (chr == handle(REVISION, link)) return text_bytes("1.0" + std::to_string(link));
    return {};
  }

  // Busy, the response, then idle, as the device answers a command.
  void answer_command(int link, const bytes& frame) {
    const uint16_t code = static_cast<uint16_t>(frame.at(0) << 8 | frame.at(1));
    const bytes response = code == CMD_GET_VERSION ? bytes{static_cast<uint8_t>(link), 7, 0, 3}
                                                   : text_bytes(date_of_link(link));
    notify(link, STATUS, {0x01});
    notify(link, RESPONSE, response);
    notify(link, STATUS, {0x00});
  }

  const bool one_thread_;
  std::map<int, std::shared_ptr<fake_warble::callback_thread>> threads_;
};

struct device_outcome {
  connect_result connected = connect_result::object_not_created;
  bool subscribed = false;
  device_information information;
  int version_status = -1;
  fw_version version;
  std::string date;
  update_outcome update;
};

// What a command-line worker does with one device.
device_outcome serve(device_record& record, const std::string& image) {
  device_outcome outcome;
  outcome.connected = connect_device(record);
  outcome.subscribed = update_channels_subscribed(record);
  outcome.information = last_device_information(record);
  outcome.version_status = get_version(record, &outcome.version);
  uint8_t date[31] = {};
  if (get_fw_date(record, date, 30) == 0) outcome.date = reinterpret_cast<const char*>(date);
  outcome.update = update_image(record, image);
  close_device(record);
  return outcome;
}

// The image bytes of the packets written to a link's update characteristic.
bytes image_received_on(int link) {
  bytes image;
  for (const call_record& r : fake_warble::calls()) {
    if (r.kind != call::write_no_resp || r.chr != scripted_devices::handle(UPDATE, link)) continue;
    if (r.bytes.at(0) == UPD_CMD_PACKET)
      image.insert(image.end(), r.bytes.begin() + 3, r.bytes.end());
  }
  return image;
}

bytes pattern(size_t size, uint8_t seed) {
  bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(seed * 31 + i * 7);
  return image;
}

class ParallelRecords : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    set_time_compression_for_tests(COMPRESSION);
    fake_warble::install();
    gatt_reset_for_tests();
    char pattern_text[] = "/tmp/parallel-records-XXXXXX";
    const char* made = mkdtemp(pattern_text);
    ASSERT_NE(made, nullptr);
    folder_ = made;
  }
  void TearDown() override {
    for (const std::string& path : files_) remove(path.c_str());
    rmdir(folder_.c_str());
    gatt_reset_for_tests();
    set_time_compression_for_tests(1);
  }

  std::string write_image(const bytes& image, const char* name) {
    const std::string path = folder_ + "/" + name;
    FILE* file = fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (file) {
      EXPECT_EQ(fwrite(image.data(), 1, image.size(), file), image.size());
      fclose(file);
    }
    files_.push_back(path);
    return path;
  }

  static device_record* lease(display_sink* view, const char* mac) {
    device_record* record = device_record_lease(view);
    EXPECT_NE(record, nullptr);
    if (!record) return nullptr;
    EXPECT_EQ(set_device_address(*record, mac), 0);
    device_record_set_tag(*record, mac);
    return record;
  }

  trace_capture trace_;
  std::string folder_;
  std::vector<std::string> files_;
};

constexpr const char* MAC_A = "C4:7C:8D:6A:3E:01";
constexpr const char* MAC_B = "C4:7C:8D:6A:3E:02";
constexpr const char* MAC_C = "C4:7C:8D:6A:3E:03";

TEST_P(ParallelRecords, TwoRecordsServeTwoDevicesAtOnceEachWithItsOwnReplies) {
  recording_display view_a;
  recording_display view_b;
  recording_display window;  // installed last: the process-wide display
  scripted_devices devices(GetParam());
  devices.add(1, MAC_A);
  devices.add(2, MAC_B);
  const bytes image_a = pattern(1000, 1);
  const bytes image_b = pattern(700, 2);
  const std::string path_a = write_image(image_a, "a.bin");
  const std::string path_b = write_image(image_b, "b.bin");
  device_record* a = lease(&view_a, MAC_A);
  device_record* b = lease(&view_b, MAC_B);
  ASSERT_TRUE(a && b);

  auto served_a = std::async(std::launch::async, [&] { return serve(*a, path_a); });
  auto served_b = std::async(std::launch::async, [&] { return serve(*b, path_b); });
  ASSERT_EQ(served_a.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  ASSERT_EQ(served_b.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  const std::vector<std::pair<int, device_outcome>> outcomes = {{1, served_a.get()},
                                                                {2, served_b.get()}};

  for (const auto& [link, outcome] : outcomes) {
    SCOPED_TRACE("link " + std::to_string(link));
    EXPECT_EQ(outcome.connected, connect_result::ready);
    EXPECT_TRUE(outcome.subscribed);
    EXPECT_EQ(outcome.information.serial_number, serial_of_link(link));
    EXPECT_EQ(outcome.version_status, 0);
    EXPECT_EQ(outcome.version.major, link);
    EXPECT_EQ(outcome.date, date_of_link(link));
    EXPECT_EQ(outcome.update.result, update_result::accepted) << outcome.update.failed_step;
    const bytes& image = link == 1 ? image_a : image_b;
    EXPECT_EQ(image_received_on(link), image);
    EXPECT_EQ(outcome.update.image_crc, reference_jamcrc(image));
  }

  // One connection set up at a time: no creation while another record is
  // between its creation and its service check.
  int setting_up = 0;
  for (const call_record& r : fake_warble::calls()) {
    if (r.kind == call::create) {
      EXPECT_EQ(setting_up, 0) << "two connections were set up at once";
      setting_up = fake_warble::link_of(r.gatt);
    }
    if (r.kind == call::read && r.chr == scripted_devices::handle(RESPONSE, setting_up))
      setting_up = 0;
  }

  // Each record reported through its own view; the window saw nothing.
  for (recording_display* view : {&view_a, &view_b}) {
    ASSERT_FALSE(view->connect_reports().empty());
    EXPECT_EQ(view->connect_reports().back(),
              std::make_pair(PROGRESS_FULL, std::string("System READY")));
    const std::vector<std::string> status = view->texts_set(display_window::main, IDC_STATUS_LINE);
    EXPECT_NE(std::find(status.begin(), status.end(), "Finish handshake\n"), status.end());
  }
  EXPECT_TRUE(window.events().empty());

  // Every trace line, also those of the library threads, is whole and
  // carries its record's tag.
  const std::string tag_a = std::string("[") + MAC_A + "] ";
  const std::string tag_b = std::string("[") + MAC_B + "] ";
  size_t notifications_a = 0;
  for (const std::string& line : trace_.lines()) {
    const bool tagged_a = line.rfind(tag_a, 0) == 0;
    const bool tagged_b = line.rfind(tag_b, 0) == 0;
    EXPECT_TRUE(tagged_a || tagged_b) << line;
    EXPECT_EQ(line.find("[C4:7C:8D:6A:3E:0", 1), std::string::npos)
        << "lines ran into each other: " << line;
    if (tagged_a && line.find("NOTIF") != std::string::npos) ++notifications_a;
  }
  EXPECT_GE(notifications_a, update_frame_count(static_cast<uint32_t>(image_a.size())));

  device_record_return(a);
  device_record_return(b);
  trace_.clear();
  close_device();  // the window's record: untagged, as it has always been
  EXPECT_EQ(trace_.text(), ">>Closing device\n>>DEVICE CLOSED !!\n");
}

// A connection started on another record waits for the quiet time after a
// delete, although the deleting record is still in its own pause.
TEST_P(ParallelRecords, AConnectionWaitsForTheQuietTimeAfterAnotherRecordsDelete) {
  scripted_devices devices(GetParam());
  devices.add(1, MAC_A);
  devices.add(3, MAC_C);
  device_record* a = lease(nullptr, MAC_A);
  device_record* c = lease(nullptr, MAC_C);
  ASSERT_TRUE(a && c);
  ASSERT_EQ(connect_device(*a), connect_result::ready);

  auto connected_c = std::async(std::launch::async, [&] {
    EXPECT_TRUE(fake_warble::await_calls(call::delete_gatt, 1));
    return connect_device(*c);
  });
  close_device(*a);
  ASSERT_EQ(connected_c.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(connected_c.get(), connect_result::ready);
  const call_record deleted = fake_warble::last_on(call::delete_gatt, fake_warble::connection(1));
  const call_record created = fake_warble::last_on(call::create, fake_warble::connection(3));
  EXPECT_GE(static_cast<uint32_t>(created.at_ms - deleted.at_ms), RELEASE_DELETE_PAUSE_MS);
  device_record_return(a);
  device_record_return(c);
}

INSTANTIATE_TEST_SUITE_P(CallbackThreads, ParallelRecords, ::testing::Values(true, false),
                         [](const auto& info) {
                           return std::string(info.param ? "OneForEveryLink" : "OnePerLink");
                         });

}  // namespace
