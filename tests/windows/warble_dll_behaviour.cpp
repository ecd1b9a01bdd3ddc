// warble.dll as the Windows program meets it, run under Wine: what differs
// on Windows (the disconnect handler runs before warble_gatt_disconnect
// returns) and a whole update transfer over the library's own threads.
// Plain checks, no test framework: the cross toolchain has none.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ble/warble.h"
#include "sim/warble_sim.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* STATUS = "fabbe004-4910-473c-be46-960948c2f59c";
constexpr const char* UPDATE = "fabbe008-4910-473c-be46-960948c2f59c";

int failures = 0;

void check(bool condition, const char* what) {
  if (!condition) {
    std::printf("FAILED: %s\n", what);
    ++failures;
  }
}

template <typename Condition>
bool eventually(Condition condition) {
  // A bound sized for Wine on a loaded machine, where a 1 ms sleep may last
  // far longer: the time is measured, not counted in sleeps.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!condition() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  return condition();
}

std::atomic<int> connected{0};
std::atomic<int> disconnected{0};
std::atomic<int> statuses{0};
std::atomic<int> last_status{-1};
std::atomic<int> enabled{0};
std::atomic<int> scan_results{0};
std::atomic<bool> scan_on_other_thread{true};
std::thread::id main_thread;

void on_connect(void*, WarbleGatt*, const char* error) {
  connected = error ? -1 : 1;
}
void on_disconnect(void*, WarbleGatt*, int32_t) {
  ++disconnected;
}
void on_enable(void*, WarbleGattChar*, const char* error) {
  enabled = error ? -1 : 1;
}
void on_write(void*, WarbleGattChar*, const char*) {}
void on_notification(void*, WarbleGattChar*, const uint8_t* value, uint8_t length) {
  last_status = length ? value[0] : -2;
  ++statuses;
}
void on_scan(void*, const WarbleScanResult* result) {
  if (std::this_thread::get_id() == main_thread) scan_on_other_thread = false;
  if (result->mac) ++scan_results;
}

std::vector<uint8_t> frame(uint8_t code, const std::vector<uint8_t>& params) {
  std::vector<uint8_t> out = {code, 0, static_cast<uint8_t>(params.size())};
  for (uint8_t byte : params) out.push_back(byte);
  return out;
}

std::vector<uint8_t> be32(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

int send(WarbleGattChar* update, const std::vector<uint8_t>& value) {
  int before = statuses;
  warble_gattchar_write_without_resp_async(update, value.data(), static_cast<uint8_t>(value.size()),
                                           nullptr, on_write);
  if (!eventually([&] { return statuses > before; })) return -1;
  return last_status;
}

std::string file_text(const std::string& path);

// The transfer, with the record file held open by a reader while the last
// verdict is written: on Windows the file cannot be replaced meanwhile, and
// the record must still end with that verdict once the reader let go.
void transfer_is_accepted(WarbleGatt* gatt, const std::string& record_path) {
  WarbleGattChar* status = warble_gatt_find_characteristic(gatt, STATUS);
  WarbleGattChar* update = warble_gatt_find_characteristic(gatt, UPDATE);
  check(status && update, "the proprietary characteristics are found");
  if (!status || !update) return;
  warble_gattchar_enable_notifications_async(status, nullptr, on_enable);
  check(eventually([] { return enabled != 0; }) && enabled == 1, "notifications enabled");
  warble_gattchar_on_notification_received(status, nullptr, on_notification);

  std::vector<uint8_t> image(1000);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<uint8_t>(i * 13);
    crc ^= image[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  std::vector<std::vector<uint8_t>> frames = {
      frame(0x7F, {0x3c, 0xa1, 0x97, 0x0e, 0x52, 0xd4, 0x6b, 0xf8}), frame(0xB1, {0, 0}),
      frame(0xB2, be32(1000))};
  for (size_t sent = 0; sent < image.size(); sent += 240) {
    size_t n = image.size() - sent < 240 ? image.size() - sent : 240;
    frames.push_back(
        frame(0xB4, std::vector<uint8_t>(image.begin() + sent, image.begin() + sent + n)));
  }
  frames.push_back(frame(0xB7, be32(crc)));
  frames.push_back(frame(0x8F, {0xe5, 0x12, 0x7d, 0x49, 0xb0, 0x2c, 0x86, 0x3f}));
  bool all_accepted = true;
  const std::vector<uint8_t> finish = frames.back();
  frames.pop_back();
  for (const auto& value : frames) all_accepted = all_accepted && send(update, value) == 0;
  check(eventually([&] {
          return file_text(record_path).find("verdict = in progress") != std::string::npos;
        }),
        "the record file names the transfer in progress");
  {
    std::ifstream reader(record_path);
    all_accepted = all_accepted && send(update, finish) == 0;
    std::this_thread::sleep_for(200ms);
  }
  check(all_accepted, "every frame is answered with status 0");
  WarbleSimUpdateRecord record{};
  warble_sim_update_record(&record);
  check(record.accepted == 1 && record.image_size == 1000 && record.computed_crc == crc,
        "the device accepted the image whole");
}

std::string file_text(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

int main() {
  main_thread = std::this_thread::get_id();
  std::string record = "warble_dll_behaviour_record.txt";
  std::remove(record.c_str());
  // Read at the first call into the library, as the program's environment is.
  _putenv_s("WARBLE_SIM_RECORD", record.c_str());

  check(warble_sim_configure("advertise_interval_ms = 5\n") == 0, "configure");
  warble_scanner_set_handler(nullptr, on_scan);
  warble_scanner_start(0, nullptr);
  check(eventually([] { return scan_results > 3; }), "scan results arrive");
  warble_scanner_stop();
  int at_stop = scan_results;
  std::this_thread::sleep_for(30ms);
  check(scan_results == at_stop, "no scan result after the stop returned");
  check(scan_on_other_thread, "scan results come from the library's thread");

  WarbleOption options[] = {{"mac", "C4:7C:8D:6A:3E:01"}, {"address-type", "unspecified"}};
  WarbleGatt* gatt = warble_gatt_create_with_options(2, options);
  check(gatt != nullptr, "connection object created");
  if (!gatt) return 1;
  warble_gatt_connect_async(gatt, nullptr, on_connect);
  check(eventually([] { return connected != 0; }) && connected == 1, "connected");

  transfer_is_accepted(gatt, record);
  check(
      eventually([&] { return file_text(record).find("verdict = accepted") != std::string::npos; }),
      "the record file names the verdict");

  warble_gatt_on_disconnect(gatt, nullptr, on_disconnect);
  warble_gatt_disconnect(gatt);
  check(disconnected == 1, "the disconnect handler ran before warble_gatt_disconnect returned");
  warble_gatt_delete(gatt);
  check(warble_sim_counter("open_connections") == 0, "no connection left open");
  check(warble_sim_counter("handle_misuse") == 0, "no handle misused");

  std::printf("%s\n", failures ? "warble.dll behaviour: FAILED" : "warble.dll behaviour: ok");
  return failures ? 1 : 0;
}
