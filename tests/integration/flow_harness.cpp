#include "tests/integration/flow_harness.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "ble/ble_api.h"
#include "device/device_state.h"
#include "device/firmware_update.h"
#include "device/scan.h"
#include "device/uuids.h"
#include "display/display.h"
#include "platform/clock.h"
#include "tests/support/eventually.h"
#include "worker/request_queue.h"
#include "worker/worker.h"

namespace {

// A request of the flows ends well within this, even under a sanitizer;
// the longest is an update whose reply never comes (100 s nominal).
constexpr std::chrono::milliseconds FLOW_LIMIT(30000);

std::string make_temp_dir() {
  char pattern[] = "/tmp/device-flow-XXXXXX";
  const char* made = mkdtemp(pattern);
  return made ? made : "/tmp";
}

}  // namespace

void start_program_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    set_time_compression_for_tests(FLOW_TIME_COMPRESSION);
    // The stand-in judges each frame by the program's own last look before
    // it (see frames_after_refusal_seen).
    set_frame_look_tap_for_tests(warble_sim_program_looks);
    std::string error;
    if (!ble_api_load(nullptr, error)) {
      fprintf(stderr, "the stand-in library cannot be loaded: %s\n", error.c_str());
      exit(1);
    }
  });
}

std::string device_scenario(const std::string& device_lines, const std::string& global_lines) {
  return "seed = 7\n" + global_lines + "\n[device]\nmac = " + std::string(SIM_MAC) +
         "\nname = Flow Device\nfirmware_revision = 2.17\nmanufacturer = Acme Devices\n"
         "model_number = M-7\nserial_number = SN0042\ncommand_busy_ms = 5\n" +
         device_lines + "\n";
}

std::chrono::milliseconds real_ms(uint32_t nominal_ms) {
  return std::chrono::milliseconds(nominal_ms / FLOW_TIME_COMPRESSION);
}

scoped_compression::scoped_compression(uint32_t factor) {
  set_time_compression_for_tests(factor);
}

scoped_compression::~scoped_compression() {
  set_time_compression_for_tests(FLOW_TIME_COMPRESSION);
}

void device_flow::SetUp() {
  start_program_once();
  // A worker per test: it ends before the test's display goes away, so its
  // idle updates never reach a destroyed recorder.
  start_worker();
  temp_dir_ = make_temp_dir();
  if (gatt.load()) disconnect();
  configure(device_scenario());
  set_device_address(SIM_MAC);
}

void device_flow::TearDown() {
  if (gatt.load()) disconnect();
  post_quit();
  join_worker_for_tests();
  std::string command = "rm -rf '" + temp_dir_ + "'";
  if (temp_dir_.rfind("/tmp/device-flow-", 0) == 0 && system(command.c_str()) != 0)
    ADD_FAILURE() << "could not remove " << temp_dir_;
}

void device_flow::configure(const std::string& scenario) {
  ASSERT_EQ(warble_sim_configure(scenario.c_str()), 0) << warble_sim_error();
}

void device_flow::connect_device_of(const std::string& device_lines) {
  configure(device_scenario(device_lines));
  ASSERT_TRUE(connect());
  trace_.clear();
  display_.clear_record();
}

bool device_flow::connect(const char* mac) {
  EXPECT_EQ(set_device_address(mac), 0);
  const int ends = display_.connect_ends();
  post_request(REQ_CONNECT);
  EXPECT_TRUE(eventually([&] { return display_.connect_ends() > ends; }, FLOW_LIMIT))
      << "the connection never made its final report";
  return device_ready.load();
}

void device_flow::disconnect() {
  const int calls = display_.connection_state_calls();
  post_request(REQ_DISCONNECT);
  EXPECT_TRUE(eventually([&] { return display_.connection_state_calls() > calls; }, FLOW_LIMIT))
      << "the close never ended";
}

recorded_box device_flow::update_from(const std::string& path) {
  display_.set_path_field(path);
  const size_t boxes = display_.boxes().size();
  post_request(REQ_UPDATE_FROM_FILE);
  if (!eventually([&] { return display_.boxes().size() > boxes; }, FLOW_LIMIT)) {
    ADD_FAILURE() << "the update showed no box";
    return {};
  }
  return display_.boxes().back();
}

void device_flow::query(uint8_t request) {
  // Makes the next result text a change the recorder keeps.
  display_.set_text_if_different(display_window::main, IDC_COMMAND_RESULT, "(waiting)");
  const size_t texts = display_.texts_set(display_window::main, IDC_COMMAND_RESULT).size();
  const size_t boxes = display_.boxes().size();
  post_request(request);
  EXPECT_TRUE(eventually(
      [&] {
        return display_.texts_set(display_window::main, IDC_COMMAND_RESULT).size() > texts ||
               display_.boxes().size() > boxes;
      },
      FLOW_LIMIT))
      << "the query showed nothing";
}

void device_flow::start_scan() {
  if (post_request(REQ_SCAN) == 0) scan_requested();
}

void device_flow::wait_scan_end() {
  EXPECT_TRUE(eventually(
      [&] { return trace_.contains("Scan finished\n") || trace_.contains("Abort requested\n"); },
      FLOW_LIMIT))
      << "the scan never ended";
}

std::string device_flow::write_image(const std::vector<uint8_t>& bytes, const char* name) {
  const std::string path = temp_dir_ + "/" + name;
  FILE* file = fopen(path.c_str(), "wb");
  EXPECT_NE(file, nullptr);
  if (!file) return path;
  if (!bytes.empty()) {
    EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  }
  fclose(file);
  return path;
}

std::vector<uint8_t> device_flow::pattern_image(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

WarbleSimUpdateRecord device_flow::sim_record() const {
  WarbleSimUpdateRecord record{};
  EXPECT_EQ(warble_sim_update_record(&record), 0);
  return record;
}

std::vector<uint8_t> device_flow::sim_image() const {
  const uint32_t size = warble_sim_image(nullptr, 0);
  std::vector<uint8_t> image(size);
  if (size) warble_sim_image(image.data(), size);
  return image;
}

std::vector<uint8_t> device_flow::sim_write(const char* uuid, int index) const {
  uint8_t bytes[256];
  const int32_t length = warble_sim_write_at(uuid, index, bytes, sizeof bytes);
  if (length < 0) return {};
  return std::vector<uint8_t>(bytes, bytes + length);
}

int32_t device_flow::sim_counter(const char* name) const {
  return warble_sim_counter(name);
}

std::vector<std::vector<uint8_t>> device_flow::control_frames() const {
  std::vector<std::vector<uint8_t>> frames;
  const int32_t count = warble_sim_write_count(UPDATE_CHAR_UUID);
  for (int32_t i = 0; i < count; ++i) {
    std::vector<uint8_t> frame = sim_write(UPDATE_CHAR_UUID, i);
    if (!frame.empty() && frame[0] != 0xB4) frames.push_back(frame);
  }
  return frames;
}

std::vector<std::string> device_flow::status_texts() const {
  return display_.texts_set(display_window::main, IDC_STATUS_LINE);
}

std::string device_flow::status_at_last_box() const {
  return ::status_at_last_box(display_);
}

std::string status_at_last_box(const recording_display& display) {
  std::string status;
  std::string at_box;
  for (const recorded_event& e : display.events()) {
    if (e.kind == recorded_event::text_set && e.window == display_window::main &&
        e.control == IDC_STATUS_LINE)
      status = e.text;
    if (e.kind == recorded_event::box) at_box = status;
  }
  return at_box;
}

std::vector<uint32_t> device_flow::update_progress_values() const {
  return display_.progress_values(display_window::main, IDC_UPDATE_PROGRESS);
}
