#include "tests/integration/soak_runner.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <sstream>

#include "ble/ble_api.h"
#include "device/device_state.h"
#include "device/firmware_update.h"
#include "device/uuids.h"
#include "platform/clock.h"
#include "sim/warble_sim.h"
#include "tests/support/eventually.h"
#include "tests/support/recording_display.h"
#include "worker/request_queue.h"
#include "worker/worker.h"

namespace {

constexpr const char* SOAK_MAC = "C4:7C:8D:6A:3E:01";

// Program time in most scenarios: the 100 s reply wait lasts 100 ms.
constexpr uint32_t FAST_COMPRESSION = 1000;
// Scenarios whose notifications come twice: the program's own pauses stay
// long next to the library's back-to-back deliveries, as in real time.
constexpr uint32_t PACED_COMPRESSION = 20;
// Scenarios whose device sends a command's response late: see
// command_fault.
constexpr uint32_t COMMAND_COMPRESSION = 40;
// What a request may take beyond its own nominal bound, in real time: the
// stand-in's delays (which are real milliseconds) and a slow machine under a
// sanitizer.
constexpr std::chrono::milliseconds REQUEST_SLACK(15000);

// Nominal bounds of the requests, from their waits: a connection makes at
// most nine calls of 10 s each and lingers 800 ms; a query may wait for the
// previous command, its write, its reply, the idle device and its response;
// an update waits for the idle device, for at most one reply that never
// comes, the finish pause and the settle time, and a pause per packet; a
// close makes at most four calls and pauses twice.
constexpr uint32_t CONNECT_BOUND_MS = 9 * 10000 + 800;
constexpr uint32_t QUERY_BOUND_MS = 10000 + 10000 + 5000 + 10000 + 5000;
constexpr uint32_t UPDATE_BOUND_MS = 10000 + 100000 + 1000 + 5000;
constexpr uint32_t UPDATE_BOUND_PER_PACKET_MS = 10;
constexpr uint32_t CLOSE_BOUND_MS = 4 * 10000 + 2000;

const char* const EXPECTED_VERSION = "Get version\nVersion: 1.05\nSupported Cmd: 42";
const char* const EXPECTED_DATE = "Firmware date: 2024-03-18\n";

recording_display* soak_display = nullptr;

struct scenario_plan {
  std::string text;
  size_t image_size = 0;
  bool paced = false;
  uint32_t compression = FAST_COMPRESSION;  // of program time
  // Statuses the device did not send as a frame's one reply (repeats, ones
  // of its own): a frame may then go out after a refusal the program had
  // not yet received, never after one it had.
  bool extra_statuses = false;
};

uint32_t pick(std::mt19937& random, uint32_t low, uint32_t high) {
  return std::uniform_int_distribution<uint32_t>(low, high)(random);
}

size_t pick_image_size(std::mt19937& random) {
  static const size_t EDGES[] = {0, 1, 239, 240, 241, 480, 481};
  if (pick(random, 0, 3) == 0) return EDGES[pick(random, 0, 6)];
  return pick(random, 0, 4000);
}

// Frames of a transfer of `size` bytes: start, B1, length, packets, CRC,
// finish.
uint32_t frame_count(size_t size) {
  return static_cast<uint32_t>(5 + (size + 239) / 240);
}

// One fault of the update path, in the stand-in's words.
std::string update_fault(std::mt19937& random, uint32_t frames, scenario_plan& plan) {
  const uint32_t frame = pick(random, 1, frames);
  static const char* const CODES[] = {"0x7F", "0xB1", "0xB2", "0xB4", "0xB7", "0x8F"};
  switch (pick(random, 0, 10)) {
    case 0:
      return "refuse_frame = " + std::to_string(frame);
    case 1:
      return std::string("refuse_code = ") + CODES[pick(random, 0, 5)];
    case 2:
      return "no_reply_frame = " + std::to_string(frame);
    case 3:
      // Around the 100 s reply wait (100 ms of real time here).
      return "late_reply_frame = " + std::to_string(frame) + ":" +
             std::to_string(pick(random, 0, 150));
    case 4:
      return "drop_link_at = frame:" + std::to_string(frame);
    case 5:
      return "status_stays_busy_ms = " + std::to_string(pick(random, 0, 1) ? -1 : 5);
    case 6:
      return "initial_status = " + std::to_string(pick(random, 1, 5));
    case 7:
      return "notification_size = " + std::to_string(pick(random, 0, 1) ? 0 : 255);
    case 8: {
      plan.extra_statuses = true;
      static const uint32_t VALUES[] = {0, 1, 5};
      const bool before = pick(random, 0, 1) == 0;
      std::string fault = "unprompted_status = " + std::to_string(frame) +
                          (before ? ":before:" : ":after:") +
                          std::to_string(VALUES[pick(random, 0, 2)]);
      if (!before) fault += ":" + std::to_string(pick(random, 0, 20));
      return fault;
    }
    case 9:
      plan.extra_statuses = true;
      return "late_duplicate_replies = yes";
    default:
      return "reply_delay_ms = " + std::to_string(pick(random, 5, 20));
  }
}

// Faults beside repeated notifications. A repeat of one reply that the
// library delivers only after the program wrote its next frame reads as
// that frame's reply (see the report of the soak bench): the refusal is
// drawn on the finish handshake, which follows a 1 s pause, so that such a
// stall cannot happen at the paced compression. No fault that ends in the
// 100 s reply wait (5 s of real time here).
std::string paced_update_fault(std::mt19937& random, uint32_t frames) {
  switch (pick(random, 0, 2)) {
    case 0:
      return "refuse_code = 0x8F";
    case 1:
      return "late_reply_frame = " + std::to_string(pick(random, 1, frames)) + ":" +
             std::to_string(pick(random, 0, 150));
    default:
      return "notification_size = 255";
  }
}

std::string connection_fault(std::mt19937& random) {
  switch (pick(random, 0, 8)) {
    case 0:
      return "connect_error = Peer unreachable";
    case 1:
      return "connect_timeout = yes";
    case 2:
      return std::string("read_error = ") + RESPONSE_CHAR_UUID;
    case 3:
      return std::string("read_error = ") + SERIAL_NUMBER_UUID;
    case 4:
      return std::string("enable_error = ") +
             (pick(random, 0, 1) ? STATUS_CHAR_UUID : UPDATE_CHAR_UUID);
    case 5:
      return std::string("missing = ") + (pick(random, 0, 1) ? STATUS_CHAR_UUID : UPDATE_CHAR_UUID);
    case 6:
      return "proprietary = no";
    case 7: {
      // The link goes at any step: a read of the connection, a subscription,
      // a query, or a disable of the close.
      static const char* const KINDS[] = {"read", "enable", "command", "disable"};
      static const uint32_t MOST[] = {5, 3, 2, 3};
      const uint32_t kind = pick(random, 0, 3);
      return std::string("drop_link_at = ") + KINDS[kind] + ":" +
             std::to_string(pick(random, 1, MOST[kind]));
    }
    default:
      return "late_completion_ms = " + std::to_string(pick(random, 1, 20));
  }
}

// Faults of the command channel: a command that outlasts the idle wait
// (10 s, 10 ms of real time here), or a final status delivered ahead of its
// response (by up to 6 s in program time: also past the 5 s response wait).
// A response is waited for twice, 10 s in all, and one that comes later
// may be taken by the next command: nothing tells the two apart. Its
// scenario runs at the command compression, so that the 4 s between the
// latest response and the end of the waits are 100 ms of real time, which
// a loaded machine does not eat; the stand-in's delays are real time.
// Never beside repeated notifications (the paced scenarios): a repeat of a
// response handed over after the status, which the library delivers only
// once the next command was written, reads as that command's response,
// and nothing can tell the two apart.
std::string command_fault(std::mt19937& random, scenario_plan& plan) {
  if (plan.paced || pick(random, 0, 1) == 0)
    return "late_status_command = " + std::to_string(pick(random, 1, 2)) + ":" +
           std::to_string(pick(random, 0, 40));
  const uint32_t program_seconds = pick(random, 0, 6);
  plan.compression = std::min(plan.compression, COMMAND_COMPRESSION);
  return "response_after_status_ms = " + std::to_string(program_seconds * 1000 / plan.compression);
}

scenario_plan plan_scenario(uint32_t seed) {
  std::mt19937 random(seed);
  scenario_plan plan;
  plan.image_size = pick_image_size(random);
  plan.paced = pick(random, 0, 5) == 0;
  plan.extra_statuses = plan.paced;
  plan.compression = plan.paced ? PACED_COMPRESSION : FAST_COMPRESSION;
  std::ostringstream text;
  text << "seed = " << seed << "\n";
  if (pick(random, 0, 4) == 0) text << "connection_interval_ms = " << pick(random, 1, 15) << "\n";
  // A library that runs every callback on one thread.
  if (pick(random, 0, 4) == 0) text << "callback_thread = one\n";
  text << "[device]\nmac = " << SOAK_MAC << "\ncommand_busy_ms = 2\n";
  if (plan.paced) text << "duplicate_notifications = yes\n";
  if (pick(random, 0, 2) == 0) text << "noise_notifications = yes\n";
  if (pick(random, 0, 3) == 0) text << "reply_delay_ms = " << pick(random, 0, 5) << "\n";
  if (!plan.paced && pick(random, 0, 5) == 0) text << connection_fault(random) << "\n";
  if (pick(random, 0, 3) == 0) text << command_fault(random, plan) << "\n";
  const uint32_t faults = pick(random, 0, 2);
  const uint32_t frames = frame_count(plan.image_size);
  for (uint32_t i = 0; i < faults; ++i)
    text << (plan.paced ? paced_update_fault(random, frames) : update_fault(random, frames, plan))
         << "\n";
  plan.text = text.str();
  return plan;
}

std::vector<uint8_t> image_of(size_t size, uint32_t seed) {
  std::mt19937 random(seed ^ 0x5eed);
  std::vector<uint8_t> image(size);
  for (auto& byte : image) byte = static_cast<uint8_t>(random());
  return image;
}

std::vector<uint8_t> received_image() {
  const uint32_t size = warble_sim_image(nullptr, 0);
  std::vector<uint8_t> image(size);
  if (size) warble_sim_image(image.data(), size);
  return image;
}

class scenario_run {
 public:
  scenario_run(uint32_t seed, const scenario_plan& plan) : plan_(plan) {
    result_.seed = seed;
    result_.scenario = plan.text;
  }

  soak_result run() {
    set_time_compression_for_tests(plan_.compression);
    if (warble_sim_configure(plan_.text.c_str()) != 0) {
      violation(std::string("scenario refused: ") + warble_sim_error());
      return result_;
    }
    soak_display->clear_record();
    connect();
    if (result_.connected) {
      query(REQ_GET_VERSION, EXPECTED_VERSION);
      query(REQ_GET_FW_DATE, EXPECTED_DATE);
      update();
    }
    close();
    check_nothing_left_open();
    return result_;
  }

 private:
  void violation(const std::string& text) { result_.violations.push_back(text); }

  // Waits for the request to end within its nominal bound (program time)
  // and the real-time slack.
  template <typename Condition>
  bool ends(const char* request, uint32_t bound_ms, Condition condition) {
    const auto limit =
        std::chrono::duration_cast<std::chrono::milliseconds>(real_duration(bound_ms)) +
        REQUEST_SLACK;
    if (eventually(condition, limit)) return true;
    violation(std::string(request) + " did not end within its bound");
    return false;
  }

  void connect() {
    set_device_address(SOAK_MAC);
    const int ends_before = soak_display->connect_ends();
    post_request(REQ_CONNECT);
    if (!ends("connect", CONNECT_BOUND_MS,
              [&] { return soak_display->connect_ends() > ends_before; }))
      return;
    result_.connected = device_ready.load();
  }

  // A query shows its own answer or its error box; never another command's
  // bytes.
  void query(uint8_t request, const char* expected) {
    soak_display->set_text_if_different(display_window::main, IDC_COMMAND_RESULT, "(waiting)");
    const size_t texts = soak_display->texts_set(display_window::main, IDC_COMMAND_RESULT).size();
    const size_t boxes = soak_display->boxes().size();
    post_request(request);
    auto shown = [&] {
      return soak_display->texts_set(display_window::main, IDC_COMMAND_RESULT).size() > texts ||
             soak_display->boxes().size() > boxes;
    };
    if (!ends("query", QUERY_BOUND_MS, shown)) return;
    const std::string text = soak_display->text_of(display_window::main, IDC_COMMAND_RESULT);
    if (text != "(waiting)" && text != expected)
      violation("query " + std::to_string(request) + " showed \"" + text + "\"");
  }

  void update() {
    const std::vector<uint8_t> image = image_of(plan_.image_size, result_.seed);
    char path[] = "/tmp/soak-image-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
      violation("no temporary file");
      return;
    }
    size_t written = 0;
    while (written < image.size()) {
      const ssize_t n = write(fd, image.data() + written, image.size() - written);
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
    close_file(fd);
    soak_display->set_path_field(path);
    const size_t boxes_before = soak_display->boxes().size();
    post_request(REQ_UPDATE_FROM_FILE);
    const uint32_t packets = static_cast<uint32_t>((image.size() + 239) / 240);
    const bool ended = ends("update", UPDATE_BOUND_MS + packets * UPDATE_BOUND_PER_PACKET_MS,
                            [&] { return soak_display->boxes().size() > boxes_before; });
    unlink(path);
    if (!ended) return;
    judge_update(image, soak_display->boxes().back());
    if (soak_display->boxes().size() != boxes_before + 1) violation("more than one result box");
  }

  static void close_file(int fd) { ::close(fd); }

  void judge_update(const std::vector<uint8_t>& image, const recorded_box& box) {
    WarbleSimUpdateRecord record{};
    warble_sim_update_record(&record);
    if (record.frames_after_refusal_seen != 0)
      violation("frames sent after a refusal the program had seen: " +
                std::to_string(record.frames_after_refusal_seen));
    if (!plan_.extra_statuses && record.frames_after_failure != 0)
      violation("frames sent after a failure: " + std::to_string(record.frames_after_failure) +
                " (" + record.verdict + ")");
    result_.success_shown = box.caption == std::string("Success");
    if (!result_.success_shown) return;
    if (record.accepted != 1)
      violation(std::string("success shown, device says: ") + record.verdict);
    if (record.refusals_after_finish != 0) violation("success shown, the device refused after");
    if (record.announced_length != image.size()) violation("success shown for another length");
    if (received_image() != image) violation("success shown, image differs");
  }

  void close() {
    const int calls_before = soak_display->connection_state_calls();
    post_request(REQ_DISCONNECT);
    ends("close", CLOSE_BOUND_MS,
         [&] { return soak_display->connection_state_calls() > calls_before; });
  }

  void check_nothing_left_open() {
    if (gatt.load() != nullptr) violation("connection handle kept after the close");
    if (device_ready.load()) violation("device still marked ready after the close");
    const int32_t open = warble_sim_counter("open_connections");
    if (open != 0) violation("connections left open: " + std::to_string(open));
    result_.dead_handle_calls = warble_sim_counter("handle_misuse");
    if (result_.dead_handle_calls != 0)
      violation("calls on dead handles: " + std::to_string(result_.dead_handle_calls));
    const int32_t stalls = warble_sim_counter("callback_stalls");
    if (stalls != 0)
      violation("the library waited in vain for a handler of ours: " + std::to_string(stalls));
  }

  const scenario_plan& plan_;
  soak_result result_;
};

}  // namespace

void soak_start_program() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Never destroyed: the worker may still show things while the process
    // exits.
    soak_display = new recording_display;
    set_time_compression_for_tests(FAST_COMPRESSION);
    // Each frame is judged by the program's own last look before it: the
    // look and the write are two steps, which a loaded machine pulls apart.
    set_frame_look_tap_for_tests(warble_sim_program_looks);
    std::string error;
    if (!ble_api_load(nullptr, error)) {
      fprintf(stderr, "the stand-in library cannot be loaded: %s\n", error.c_str());
      exit(1);
    }
    start_worker();
  });
}

void soak_stop_program() {
  post_quit();
  join_worker_for_tests();
}

soak_result run_soak_scenario(uint32_t seed) {
  const scenario_plan plan = plan_scenario(seed);
  return scenario_run(seed, plan).run();
}
