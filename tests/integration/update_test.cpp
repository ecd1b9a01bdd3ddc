// Firmware updates end to end: what the simulated device received, what
// the user saw, and what was traced.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ble/gatt_sync.h"
#include "device/device_state.h"
#include "device/firmware_update.h"
#include "device/uuids.h"
#include "platform/clock.h"
#include "tests/integration/flow_harness.h"
#include "tests/support/eventually.h"
#include "worker/request_queue.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes frame(std::initializer_list<int> values) {
  bytes out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

bytes start_frame() {
  bytes out = {0x7F, 0x00, 0x08};
  out.insert(out.end(), UPD_START_TOKEN, UPD_START_TOKEN + 8);
  return out;
}

bytes finish_frame() {
  bytes out = {0x8F, 0x00, 0x08};
  out.insert(out.end(), UPD_FINISH_TOKEN, UPD_FINISH_TOKEN + 8);
  return out;
}

class update_flow : public device_flow {
 protected:
  void expect_success_box(const recorded_box& box) {
    EXPECT_EQ(box.text, "Updated finished OK!!\n(Now WAIT till the device finishes the update)");
    EXPECT_EQ(box.caption, "Success");
    EXPECT_EQ(box.icon, box_icon::information);
    EXPECT_EQ(box.owner, display_window::main);
  }

  void expect_error_box(const recorded_box& box, const char* text) {
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.icon, box_icon::warning);
    EXPECT_EQ(box.owner, display_window::none);
  }

  void expect_accepted_exactly(const bytes& image) {
    const WarbleSimUpdateRecord record = sim_record();
    EXPECT_EQ(record.accepted, 1) << record.verdict;
    EXPECT_EQ(record.announced_length, image.size());
    EXPECT_EQ(record.received_crc, reference_jamcrc(image));
    EXPECT_EQ(record.computed_crc, record.received_crc);
    EXPECT_EQ(record.frames_after_failure, 0);
    EXPECT_TRUE(sim_image() == image) << "the device received other bytes";
  }

  // Starts the update from `path` and waits until `frames` frames reached
  // the device.
  bool update_reaches_frame(const std::string& path, int32_t frames) {
    display_.set_path_field(path);
    post_request(REQ_UPDATE_FROM_FILE);
    return eventually([&] { return warble_sim_write_count(UPDATE_CHAR_UUID) >= frames; });
  }

  // The status-line texts of the transfer, as traced (the recorder keeps
  // only changes of the control).
  std::vector<std::string> traced_status_texts() const {
    std::vector<std::string> texts;
    for (const std::string& line : trace_.lines()) {
      if (line.rfind("Progress ", 0) == 0 || line == "Clearing memory (Start handshake)" ||
          line == "Firmware length" || line == "CRC32" || line == "Finish handshake" ||
          line.find(" ERROR") != std::string::npos)
        texts.push_back(line);
    }
    return texts;
  }
};

TEST_F(update_flow, ImagesOfEveryPacketBoundaryArriveWholeAndExact) {
  connect_device_of("");
  for (size_t size : {0u, 1u, 240u, 241u, 150001u}) {
    SCOPED_TRACE("image of " + std::to_string(size) + " bytes");
    const bytes image = pattern_image(size, static_cast<uint32_t>(size));
    trace_.clear();
    display_.clear_record();
    const int32_t writes_before = warble_sim_write_count(UPDATE_CHAR_UUID);

    expect_success_box(update_from(write_image(image)));
    expect_accepted_exactly(image);

    const size_t packets = (size + 239) / 240;
    EXPECT_EQ(warble_sim_write_count(UPDATE_CHAR_UUID) - writes_before,
              static_cast<int32_t>(5 + packets));
    const std::vector<uint32_t> progress = update_progress_values();
    ASSERT_EQ(progress.size(), packets + 2);
    EXPECT_EQ(progress.front(), 0u);
    EXPECT_EQ(progress.back(), 1000u);
    for (size_t i = 1; i + 1 < progress.size(); ++i) {
      EXPECT_EQ(progress[i],
                update_progress(static_cast<uint32_t>((i - 1) * 240), static_cast<uint32_t>(size)));
      EXPECT_LE(progress[i], 899u);
      EXPECT_GE(progress[i], progress[i - 1]);
    }
    EXPECT_EQ(trace_.count("Progress "), packets);
    EXPECT_EQ(trace_.count("[RCS] Sending update command 0xB4"), 0u) << "packets go untraced";
  }
}

TEST_F(update_flow, EmptyImageFramesAndTexts) {
  connect_device_of("");
  expect_success_box(update_from(write_image({})));
  expect_accepted_exactly({});
  const std::vector<bytes> frames = control_frames();
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[0], start_frame());
  EXPECT_EQ(frames[1], frame({0xB1, 0x00, 0x02, 0x00, 0x00}));
  EXPECT_EQ(frames[2], frame({0xB2, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(frames[3], frame({0xB7, 0x00, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(frames[4], finish_frame());
  EXPECT_EQ(traced_status_texts(),
            (std::vector<std::string>{"Clearing memory (Start handshake)", "Firmware length",
                                      "CRC32", "Finish handshake"}));
  EXPECT_TRUE(trace_.contains("[RCS] Sending update command 0xB1 Pars 2 - B1 00 02 00 00 \n"));
  EXPECT_TRUE(trace_.contains("Firmware packets\n"));
  EXPECT_EQ(update_progress_values(), (std::vector<uint32_t>{0, 1000}));
}

TEST_F(update_flow, TwoPacketImageReportsZeroThen896) {
  connect_device_of("");
  const bytes image = pattern_image(241);
  expect_success_box(update_from(write_image(image)));
  expect_accepted_exactly(image);
  EXPECT_EQ(traced_status_texts(),
            (std::vector<std::string>{"Clearing memory (Start handshake)", "Firmware length",
                                      "Progress 0", "Progress 896", "CRC32", "Finish handshake"}));
  const bytes crc = {0xB7, 0x00, 0x04};
  const std::vector<bytes> frames = control_frames();
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[2], frame({0xB2, 0x00, 0x04, 0x00, 0x00, 0x00, 0xF1}));
  const uint32_t value = reference_jamcrc(image);
  EXPECT_EQ(frames[3], frame({0xB7, 0x00, 0x04, int(value >> 24), int((value >> 16) & 0xFF),
                              int((value >> 8) & 0xFF), int(value & 0xFF)}));
}

struct failure_row {
  const char* name;
  const char* device_lines;
  const char* status_text;  // the last status-line text of the transfer
  const char* traced;       // a line the failure traces, or ""
  int32_t frames_written;   // frames that reached the device
};

// An image of 500 bytes: start, B1, length, packets 4..6, CRC 7, finish 8.
const failure_row FAILURE_ROWS[] = {
    {"DeviceNeverIdle", "status_stays_busy_ms = -1", "Update from local file", "", 0},
    {"StartRefused", "refuse_frame = 1", "Start ERROR\n", "", 1},
    {"B1Refused", "refuse_frame = 2", "Clearing memory (Start handshake)\n", "", 2},
    {"LengthRefused", "refuse_frame = 3", "Firmware length\n", "Length ERROR\n", 3},
    {"PacketRefused", "refuse_frame = 5", "Packet ERROR\n", "", 5},
    {"EveryPacketRefused", "refuse_code = 0xB4", "Packet ERROR\n", "", 4},
    {"CrcRefused", "refuse_code = 0xB7", "CRC ERROR\n", "", 7},
    {"FinishRefused", "refuse_code = 0x8F", "Finish ERROR\n", "", 8},
    {"PacketUnanswered", "no_reply_frame = 4", "Packet ERROR\n", "", 4},
    {"StartAnsweredTooLate", "late_reply_frame = 1:1500", "Start ERROR\n", "", 1},
    {"LinkDropsAtPacket", "drop_link_frame = 6", "Packet ERROR\n", "", 5},
    {"UpdateCharacteristicMissing", "missing = fabbe008-4910-473c-be46-960948c2f59c",
     "Start ERROR\n", "Characteristic not found\n", 0},
    {"StatusCharacteristicMissing", "missing = fabbe004-4910-473c-be46-960948c2f59c",
     "Start ERROR\n", "", 1},
};

std::ostream& operator<<(std::ostream& out, const failure_row& row) {
  return out << row.name;
}

class update_failure : public update_flow, public ::testing::WithParamInterface<failure_row> {};

TEST_P(update_failure, FailsPlainlyAndSendsNothingAfter) {
  const failure_row& row = GetParam();
  connect_device_of(row.device_lines);
  const bytes image = pattern_image(500);
  // Where no reply can come, the 100 s reply wait must end at once: it
  // lasts 10 s here, which an update that does not wait never comes near
  // on a loaded machine.
  const bool no_reply_can_come = std::string(row.name) == "LinkDropsAtPacket" ||
                                 std::string(row.name) == "StatusCharacteristicMissing";
  constexpr uint32_t UNHURRIED = 10;
  std::optional<scoped_compression> unhurried;
  if (no_reply_can_come) unhurried.emplace(UNHURRIED);
  const auto started = std::chrono::steady_clock::now();

  expect_error_box(update_from(write_image(image)), "Update from local file error");

  // A frame may still be on its way to the device when the box comes up
  // (the status channel that would answer it is missing): every frame the
  // program wrote is waited for.
  EXPECT_TRUE(eventually([] {
    return warble_sim_write_count(UPDATE_CHAR_UUID) == warble_sim_counter("writes_no_resp");
  }));
  const WarbleSimUpdateRecord record = sim_record();
  EXPECT_EQ(record.accepted, 0);
  EXPECT_EQ(record.frames_after_failure, 0) << record.verdict;
  EXPECT_EQ(record.frames, row.frames_written) << record.verdict;
  EXPECT_EQ(status_at_last_box(), row.status_text);
  if (*row.traced) {
    EXPECT_TRUE(trace_.contains(row.traced)) << trace_.text();
  }
  for (const auto& box : display_.boxes()) EXPECT_NE(box.caption, "Success");

  const auto elapsed = std::chrono::steady_clock::now() - started;
  if (std::string(row.name) == "DeviceNeverIdle") {
    // 99 re-readings 100 ms apart and one more pause: 10 s of program time.
    EXPECT_GE(elapsed, real_ms(10000) * 9 / 10);
    EXPECT_EQ(warble_sim_write_count(UPDATE_CHAR_UUID), 0);
  }
  if (std::string(row.name) == "PacketUnanswered") {
    EXPECT_GE(elapsed, real_ms(UPD_REPLY_TIMEOUT_MS) * 9 / 10);
  }
  if (no_reply_can_come) {
    // No reply can come any more (the link went), or ever be heard (the
    // status was never subscribed): the wait ends at once.
    EXPECT_LT(elapsed, std::chrono::milliseconds(UPD_REPLY_TIMEOUT_MS / UNHURRIED / 2));
  }

  // Also after a link the device dropped, the close hands the library no
  // dead handle and leaves nothing open.
  disconnect();
  EXPECT_EQ(sim_counter("handle_misuse"), 0);
  EXPECT_EQ(sim_counter("open_connections"), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, update_failure, ::testing::ValuesIn(FAILURE_ROWS),
                         [](const auto& info) { return std::string(info.param.name); });

// A status the device sends on its own while the finish handshake is in
// flight reads as its acceptance; the device's real reply, a refusal, comes
// later. Here the stray status follows the checksum's reply by 1.02 s (the
// program pauses 1 s before the finish handshake) and the refusal comes
// 50 ms after the handshake reached the device: well inside the 250 ms the
// program waits after an accepted finish, also when a loaded machine
// delivers it late. (Should the load put the stray before the handshake,
// or the refusal before the stray, the refusal is the reply: no success
// either.)
TEST_F(update_flow, AStrayStatusDuringTheFinishHandshakeShowsNoSuccess) {
  scoped_compression real_time(1);  // the pauses as they are, next to the device's timing
  connect_device_of(
      "refuse_code = 0x8F\nlate_reply_frame = 7:50\nunprompted_status = 6:after:0:1020");
  expect_error_box(update_from(write_image(pattern_image(241))), "Update from local file error");
  EXPECT_EQ(status_at_last_box(), "Finish ERROR\n");
  EXPECT_EQ(sim_record().finished, 0);
}

// A refusal that arrives at any moment of the transfer, also while the
// program pauses after a packet it took as accepted, ends the transfer
// before its next write.
class refusing_display : public relaying_display {
 public:
  // The n-th "Progress" text (from 0) is shown right before a packet is
  // written: a refusal sent then lands after the previous packet's
  // acceptance and before this packet's write.
  std::atomic<int> refuse_at_progress{-1};

  void set_text_if_different(display_window window, int control, const char* text) override {
    if (std::string(text).rfind("Progress ", 0) == 0 && refuse_at_progress-- == 0) {
      const uint32_t seen = notify_snapshot(status_channel).sequence;
      const uint8_t refusal[] = {UPD_STATUS_REJECTED, UPD_CMD_PACKET};
      warble_sim_notify(STATUS_CHAR_UUID, refusal, sizeof refusal);
      eventually([&] { return notify_snapshot(status_channel).sequence != seen; });
    }
    relaying_display::set_text_if_different(window, control, text);
  }
};

TEST_F(update_flow, ARefusalSeenDuringThePacketPauseStopsTheNextWrite) {
  connect_device_of("");
  {
    refusing_display watched;
    watched.refuse_at_progress = 1;
    watched.record.set_path_field(write_image(pattern_image(720)));
    post_request(REQ_UPDATE_FROM_FILE);
    ASSERT_TRUE(eventually([&] { return !watched.record.boxes().empty(); }));
    EXPECT_EQ(watched.record.boxes().back().text, "Update from local file error");
    EXPECT_EQ(::status_at_last_box(watched.record), "Packet ERROR\n");
  }
  display_.install();
  EXPECT_EQ(sim_record().frames, 4) << "start, B1, length and the first packet only";
}

// A query given up before the device's first status leaves that status
// and the command's end on their way: the update that follows waits for
// the command's end before its start handshake, so a status of the command
// is never taken for a frame's reply (here the start is refused, and
// nothing follows it). The link is slow, so that the update begins long
// before the command's first status comes, and the refusal comes well
// after it.
TEST_F(update_flow, AGivenUpQuerysLateStatusesAnswerNoFrame) {
  const scoped_compression patient(10);
  configure(
      device_scenario("refuse_frame = 1\nreply_delay_ms = 50", "connection_interval_ms = 100"));
  ASSERT_TRUE(connect());
  display_.clear_record();
  {
    // The 10 s write and 5 s reply waits last 10 and 5 ms: the command's
    // completion and status, an interval or two of 100 ms away, come after.
    const scoped_compression hurried(1000);
    query(REQ_GET_FW_DATE);
  }
  ASSERT_EQ(display_.boxes().size(), 1u) << "the query gave up";
  set_time_compression_for_tests(10);
  expect_error_box(update_from(write_image(pattern_image(240))), "Update from local file error");
  EXPECT_EQ(status_at_last_box(), "Start ERROR\n");
  // Counted at the write call: a frame still on its way to the device is
  // counted all the same.
  EXPECT_EQ(sim_counter("writes_no_resp"), 1) << "the start handshake only";
}

TEST_F(update_flow, PathAndFileRefusedBeforeAnythingIsSent) {
  connect_device_of("");
  expect_error_box(update_from(std::string(512, 'p')), "Path too long");
  // 511 characters fit: the file simply does not exist.
  expect_error_box(update_from("/" + std::string(510, 'p')), "File not found");
  expect_error_box(update_from(temp_dir_ + "/no-such-image.bin"), "File not found");
  // The limit counts characters as the path field holds them, not bytes:
  // 511 Cyrillic letters (1022 bytes of UTF-8) still fit, 512 do not.
  std::string cyrillic = "/";
  for (int i = 0; i < 510; ++i) cyrillic += "ж";
  expect_error_box(update_from(cyrillic), "File not found");
  expect_error_box(update_from(cyrillic + "ж"), "Path too long");
  EXPECT_EQ(path_length_in_characters("日本/😀.bin"), 9u);
  EXPECT_EQ(warble_sim_write_count(UPDATE_CHAR_UUID), 0);
}

TEST_F(update_flow, ImageOf4GiBOrMoreIsRefusedBeforeAnythingIsSent) {
  connect_device_of("");
  const std::string path = write_image({1, 2, 3});
  // Sparse: takes no disk space, but its length does not fit 32 bits.
  ASSERT_EQ(truncate(path.c_str(), int64_t{1} << 32), 0);
  expect_error_box(update_from(path), UPD_BOX_IMAGE_TOO_LARGE);
  EXPECT_EQ(warble_sim_write_count(UPDATE_CHAR_UUID), 0);

  // One byte less is announced as it is (and then fails on the first
  // refused packet here, to keep the test short).
  configure(device_scenario("refuse_frame = 4"));
  ASSERT_TRUE(connect());
  ASSERT_EQ(truncate(path.c_str(), (int64_t{1} << 32) - 1), 0);
  expect_error_box(update_from(path), "Update from local file error");
  EXPECT_EQ(sim_record().announced_length, 0xFFFFFFFFu);
}

// Only a regular file is sent. A device opens as an empty stream (an empty
// image "sent" and shown as a success), a FIFO would hold the worker until
// some writer came, and neither a pipe nor a folder has a length.
TEST_F(update_flow, PathsThatAreNotFilesAreRefusedBeforeAnyFrame) {
  connect_device_of("");
  const std::string fifo = temp_dir_ + "/fifo.bin";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  for (const std::string& path :
       {std::string("/dev/null"), fifo, temp_dir_, "/proc/self/fd/" + std::to_string(ends[0])}) {
    SCOPED_TRACE(path);
    expect_error_box(update_from(path), UPD_BOX_NOT_A_FILE);
  }
  close(ends[0]);
  close(ends[1]);
  EXPECT_EQ(warble_sim_write_count(UPDATE_CHAR_UUID), 0);
}

// The file changes while its packets are on the way: the device holds the
// reply to the fourth packet (frame 7) long enough for the test to change it.
class changing_file : public update_flow {
 protected:
  void SetUp() override {
    update_flow::SetUp();
    connect_device_of("late_reply_frame = 7:400");
    path_ = write_image(image_);
    ASSERT_TRUE(update_reaches_frame(path_, 7));
  }

  recorded_box wait_box() {
    EXPECT_TRUE(eventually([&] { return !display_.boxes().empty(); }, std::chrono::seconds(30)));
    return display_.boxes().empty() ? recorded_box{} : display_.boxes().back();
  }

  const bytes image_ = pattern_image(20000);
  std::string path_;
};

TEST_F(changing_file, ShrinkingFails) {
  ASSERT_EQ(truncate(path_.c_str(), 5000), 0);
  expect_error_box(wait_box(), "Update from local file error");
  EXPECT_EQ(sim_record().accepted, 0);
  EXPECT_EQ(sim_record().frames_after_failure, 0);
  EXPECT_FALSE(trace_.contains("Packet ERROR")) << "a short read shows no status text";
}

TEST_F(changing_file, GrowingIsCutAtTheAnnouncedLength) {
  FILE* file = fopen(path_.c_str(), "ab");
  ASSERT_NE(file, nullptr);
  const bytes tail = pattern_image(3000, 99);
  fwrite(tail.data(), 1, tail.size(), file);
  fclose(file);
  expect_success_box(wait_box());
  expect_accepted_exactly(image_);
}

TEST_F(update_flow, WithoutAConnectionNothingIsSent) {
  expect_error_box(update_from(write_image(pattern_image(10))), "Update from local file error");
  EXPECT_EQ(sim_counter("writes_no_resp"), 0);
}

// The finish handshake's reply is held back while a notification arrives on
// the response channel, as the library would deliver it. Judged then, the
// status byte would still be the accepted checksum's: a success box for an
// image the device refuses.
TEST_F(update_flow, NotificationOnAnotherChannelDoesNotAnswerAFrame) {
  connect_device_of("refuse_code = 0x8F\nlate_reply_frame = 8:300");
  ASSERT_TRUE(update_reaches_frame(write_image(pattern_image(500)), 8));
  const uint8_t noise[] = {0x00, 0x11, 0x22};
  on_notification(&response_channel, response_channel.gattchar, noise, sizeof noise);
  ASSERT_TRUE(eventually([&] { return !display_.boxes().empty(); }, std::chrono::seconds(30)));
  expect_error_box(display_.boxes().back(), "Update from local file error");
  EXPECT_EQ(status_at_last_box(), "Finish ERROR\n");
}

// Notifications on the other two channels, repeated notifications and
// replies that carry no status byte must never let a refused frame pass.
struct noise_row {
  const char* name;
  const char* device_lines;
  bool accepted;
  // Repeated notifications arrive back to back; the program's pauses
  // between packets (10 ms) must stay long next to that, as they are in
  // real time, so those rows run closer to it.
  uint32_t compression = 10;
};

const noise_row NOISE_ROWS[] = {
    {"NoiseAlone", "noise_notifications = yes", true},
    {"NoiseAndRefusedPacket", "noise_notifications = yes\nrefuse_frame = 6", false},
    {"NoiseAndRefusedCrc", "noise_notifications = yes\nrefuse_code = 0xB7", false},
    {"NoiseAndRefusedStart", "noise_notifications = yes\nrefuse_frame = 1", false},
    // Judged on the byte left by the accepted checksum, this would be a
    // success box for an image the device refused.
    {"NoiseAndRefusedFinish", "noise_notifications = yes\nrefuse_code = 0x8F", false},
    {"NoiseAndLateReply", "noise_notifications = yes\nlate_reply_frame = 5:200", true},
    {"DuplicatesAlone", "duplicate_notifications = yes", true, 2},
    {"DuplicatesAndRefusedPacket", "duplicate_notifications = yes\nrefuse_frame = 5", false, 2},
    {"DuplicatesAndRefusedFinish", "duplicate_notifications = yes\nrefuse_code = 0x8F", false, 2},
    {"NoiseDuplicatesAndRefusedCrc",
     "noise_notifications = yes\nduplicate_notifications = yes\nrefuse_code = 0xB7", false, 2},
    {"LongRepliesAccepted", "notification_size = 255", true},
    {"LongRepliesAndRefusedPacket", "notification_size = 255\nrefuse_frame = 4", false},
    // A reply without a status byte cannot say "accepted".
    {"EmptyRepliesAreNoAcceptance", "notification_size = 0", false},
    {"EmptyRepliesAndRefusedPacket", "notification_size = 0\nrefuse_frame = 5", false},
};

std::ostream& operator<<(std::ostream& out, const noise_row& row) {
  return out << row.name;
}

class update_noise : public update_flow, public ::testing::WithParamInterface<noise_row> {};

TEST_P(update_noise, OnlyAnAcceptedImageShowsSuccess) {
  const noise_row& row = GetParam();
  scoped_compression closer_to_real_time(row.compression);
  connect_device_of(row.device_lines);
  const bytes image = pattern_image(1000);
  const recorded_box box = update_from(write_image(image));
  const WarbleSimUpdateRecord record = sim_record();
  // Nothing is written once the program has seen a refusal. A repeat that
  // the library delivers only after the next frame was written reads as
  // that frame's reply: then, at worst, the frame after a refused one goes
  // out before its refusal arrives (the load decides whether it happens).
  EXPECT_EQ(record.frames_after_refusal_seen, 0) << record.verdict;
  const bool repeats = std::string(row.device_lines).find("duplicate") != std::string::npos;
  EXPECT_LE(record.frames_after_failure, repeats ? 1 : 0) << record.verdict;
  if (row.accepted) {
    expect_success_box(box);
    expect_accepted_exactly(image);
  } else {
    expect_error_box(box, "Update from local file error");
    EXPECT_EQ(record.accepted, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Notifications, update_noise, ::testing::ValuesIn(NOISE_ROWS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
