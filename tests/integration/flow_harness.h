// Whole flows through the real program pieces: the worker thread, the
// library loader (which finds our stand-in as libwarble.so), the GATT layer
// and the device protocol, with a recorder as the display. Each request is
// posted as the windows would post it and waited for through what it shows.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/warble_sim.h"
#include "tests/support/recording_display.h"
#include "tests/support/reference_crc.h"
#include "tests/support/trace_capture.h"

// The first device of a default scenario.
constexpr const char* SIM_MAC = "C4:7C:8D:6A:3E:01";

// Program time runs this much faster than real time in the flows: the
// 100 s reply wait lasts 1 s, the 10 s waits 100 ms.
constexpr uint32_t FLOW_TIME_COMPRESSION = 100;

// Loads the library and starts the worker, once per process.
void start_program_once();

// A scenario with one device of ours carrying every characteristic and the
// extra "key = value" lines given for it.
std::string device_scenario(const std::string& device_lines = "",
                            const std::string& global_lines = "");

// The real duration a nominal one lasts under FLOW_TIME_COMPRESSION.
std::chrono::milliseconds real_ms(uint32_t nominal_ms);

// Program time for one test: closer to real time where a race of the
// library's threads against the program's pauses matters.
class scoped_compression {
 public:
  explicit scoped_compression(uint32_t factor);
  ~scoped_compression();
};

class device_flow : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void configure(const std::string& scenario);
  // A world of one device of ours with `device_lines`, connected; the trace
  // and the display's record start afresh.
  void connect_device_of(const std::string& device_lines);
  // REQ_CONNECT to `mac`; waits for the final report. True when ready.
  bool connect(const char* mac = SIM_MAC);
  // REQ_DISCONNECT; waits until the main window was told the new state.
  void disconnect();
  // REQ_UPDATE_FROM_FILE with `path` in the path field; waits for the
  // result box and returns it.
  recorded_box update_from(const std::string& path);
  // Posts a query request; waits for its result text or its error box.
  void query(uint8_t request);
  // REQ_SCAN; returns at once (the caller decides when it ends).
  void start_scan();
  void wait_scan_end();

  std::string write_image(const std::vector<uint8_t>& bytes, const char* name = "image.bin");
  static std::vector<uint8_t> pattern_image(size_t size, uint32_t seed = 1);

  WarbleSimUpdateRecord sim_record() const;
  std::vector<uint8_t> sim_image() const;
  std::vector<uint8_t> sim_write(const char* uuid, int index) const;
  int32_t sim_counter(const char* name) const;
  // The update frames the device received that were not packets.
  std::vector<std::vector<uint8_t>> control_frames() const;

  std::vector<std::string> status_texts() const;
  // The status line as it read when the latest message box came up.
  std::string status_at_last_box() const;
  std::vector<uint32_t> update_progress_values() const;

  recording_display display_;
  trace_capture trace_;
  std::string temp_dir_;
};

// The main window's status line as it read when the latest box came up
// (the worker may have put "Idle" there since).
std::string status_at_last_box(const recording_display& display);
