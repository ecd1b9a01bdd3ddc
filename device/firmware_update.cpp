#include "device/firmware_update.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "ble/gatt_sync.h"
#include "device/command_channel.h"
#include "device/device_state.h"
#include "device/transfer_meter.h"
#include "device/uuids.h"
#include "display/display.h"
#include "platform/clock.h"
#include "platform/os.h"
#include "platform/trace.h"

namespace {

constexpr uint32_t CRC32_POLYNOMIAL = 0xEDB88320u;
constexpr uint32_t CRC32_INITIAL = 0xFFFFFFFFu;
// The length frame carries 32 bits: an image of this size or more cannot
// be announced.
constexpr int64_t UPD_IMAGE_LENGTH_LIMIT = int64_t{1} << 32;

// How a frame's reply is told from the rest.
//
// The device answers each update frame with one status notification, but
// neither frames nor replies carry a number, and a device or its library may
// add statuses of its own (one sent unprompted, a repeat delivered late). A
// reply taken for the wrong frame must never turn a refusal into a success,
// so the transfer keeps to these rules:
//  1. A frame's reply is the first status numbered after the frame was
//     written, as with a device that answers each frame once: it sees the
//     same frames at the same pace.
//  2. A refusal (5) ends the transfer wherever it shows: any refusal
//     received since the start handshake was written, also one that a later
//     status overwrote, stops the transfer before its next write. An extra
//     status can at worst let the frame after a refused one go out before
//     that refusal arrives; nothing is written once it has.
//  3. The finish handshake's acceptance counts only after a settle time
//     with no refusal: its accepting status may have been one the device
//     sent on its own, ahead of the real reply. The settle time is twice the
//     slowest reply of this transfer and at least UPD_SETTLE_MIN_MS, which
//     is five connection intervals at 50 ms (the slowest interval such
//     devices are run at; a reply takes about two), capped at
//     UPD_SETTLE_MAX_MS. A link that drops in it ends the wait: a device
//     that accepted its finish may restart at once.
//  4. Every frame must have had a reply: fewer statuses than frames means
//     some acceptance was not the reply it was taken for.
constexpr uint32_t UPD_SETTLE_MIN_MS = 250;

// How often the transfer's pace is shown.
constexpr uint32_t UPD_RATE_SHOW_MS = 1000;
constexpr uint32_t UPD_SETTLE_MAX_MS = 5000;

// What a transfer has seen of the status channel since it began, and how
// its failing frame failed.
struct transfer_watch {
  uint32_t since_sequence = 0;  // the status channel's count before the first frame
  uint32_t frames_written = 0;
  uint32_t slowest_reply_ms = 0;
  uint32_t acknowledged_bytes = 0;
  const char* failed_step = "";
  frame_failure failure = frame_failure::none;
  uint32_t failed_frame = 0;
  int failed_status = -1;
};

notify_channel& status_of(device_record& record) {
  return slot_of(record).status;
}

transfer_watch start_watch(device_record& record) {
  transfer_watch watch;
  watch.since_sequence = notify_snapshot(status_of(record)).sequence;
  return watch;
}

std::atomic<frame_look_tap> look_tap{nullptr};

// Set from a signal handler or a console handler: lock-free, nothing else.
std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Every update is stopped, or this record's.
bool stopping(const device_record& record) {
  return stop_requested.load() || record.stop_update.load();
}

// The reply to a frame already written is waited for whether or not a stop
// was asked for meanwhile: it tells whether the device took the frame, and
// for the finish handshake whether it now installs the image.
gatt_status wait_reply(device_record& record, uint32_t before) {
  return notify_wait_for_new(&status_of(record), before, UPD_REPLY_TIMEOUT_MS);
}

bool refusal_seen(device_record& record, const transfer_watch& watch) {
  return notify_latest_with_first_byte(status_of(record), UPD_STATUS_REJECTED) >
         watch.since_sequence;
}

uint32_t replies_seen(device_record& record, const transfer_watch& watch) {
  return notify_snapshot(status_of(record)).sequence - watch.since_sequence;
}

// Records how the latest frame failed; 1, as send_frame returns it.
int frame_failed(transfer_watch& watch, frame_failure failure, int status = -1) {
  watch.failure = failure;
  watch.failed_frame = watch.frames_written;
  watch.failed_status = status;
  return 1;
}

void put_u32_be(uint32_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

void show_update_progress(device_record& record, uint32_t position) {
  device_view(record).set_progress(display_window::main, IDC_UPDATE_PROGRESS, position);
}

// Status byte 0 as the latest status notification left it.
uint8_t status_byte_0(device_record& record) {
  return notify_snapshot(status_of(record)).data[0];
}

// At most UPD_IDLE_POLL_COUNT re-readings 100 ms apart; a device still busy
// after them costs one more pause, so the whole wait lasts 10 s.
// A stop ends the wait: nothing has been written yet.
bool wait_update_idle(device_record& record) {
  if (status_byte_0(record) == 0) return true;
  for (uint32_t reading = 0; reading < UPD_IDLE_POLL_COUNT; ++reading) {
    sleep_ms(UPD_IDLE_POLL_MS);
    if (status_byte_0(record) == 0) return true;
    if (stopping(record)) return false;
  }
  sleep_ms(UPD_IDLE_POLL_MS);
  return false;
}

// Why a frame could not be written, or what became of its reply.
frame_failure reply_failure(gatt_status waited, const connection_slot& slot,
                            const WarbleGatt* connection) {
  switch (waited) {
    case GATT_LINK_LOST:
      return frame_failure::link_lost;
    case GATT_NOT_LISTENING:
      return frame_failure::not_listening;
    default:
      return gatt_link_lost(slot, connection) ? frame_failure::link_lost : frame_failure::no_reply;
  }
}

// One frame of a transfer (rules above); 0 when the device accepted it.
// A frame that is not written (a stop, a refusal already seen) leaves
// frames_written as it was.
int send_frame(device_record& record, transfer_watch& watch, uint8_t code, const uint8_t* params,
               uint16_t count) {
  connection_slot& slot = slot_of(record);
  WarbleGatt* connection = slot.gatt.load();
  if (!connection || count > UPD_MAX_PARAMS) return 1;
  if (stopping(record)) {
    trace_line("[RCS] Stopped on request: nothing more is sent");
    return 1;
  }
  if (refusal_seen(record, watch)) {
    trace_line("[RCS] The device refused the transfer: nothing more is sent");
    return frame_failed(watch, frame_failure::refused, UPD_STATUS_REJECTED);
  }
  uint8_t frame[UPD_FRAME_MAX];
  const size_t size = build_update_frame(code, params, count, frame);
  // Packets go untraced: a large image would flood the trace.
  if (code != UPD_CMD_PACKET) {
    const std::string line = update_frame_trace(frame, size);
    trace_write(line.data(), line.size());
  }

  notify_reset(&slot.status);
  // Notifications on the response and update channels (or a repeat of an
  // earlier status) set the shared event too; only a status notification
  // numbered after this one answers the frame.
  const uint32_t before = notify_snapshot(slot.status).sequence;
  // The last look, right before the write: a refusal that reached the
  // channel by now keeps the frame back; one that comes later is numbered
  // after `before`, so the reply wait ends on it or ahead of it, and is
  // then seen before anything more is written.
  if (frame_look_tap tap = look_tap.load()) tap(connection);
  if (refusal_seen(record, watch)) {
    trace_line("[RCS] The device refused the transfer: nothing more is sent");
    return frame_failed(watch, frame_failure::refused, UPD_STATUS_REJECTED);
  }
  ++watch.frames_written;
  if (gatt_write_no_resp(slot, connection, UPDATE_CHAR_UUID, frame, static_cast<uint8_t>(size)) !=
      0) {
    return frame_failed(watch, gatt_link_lost(slot, connection) ? frame_failure::link_lost
                                                                : frame_failure::not_written);
  }
  const uint32_t written_at = tick_count_ms();
  const gatt_status waited = wait_reply(record, before);
  if (waited != GATT_OK) return frame_failed(watch, reply_failure(waited, slot, connection));
  const uint32_t reply_ms = tick_count_ms() - written_at;
  if (reply_ms > watch.slowest_reply_ms) watch.slowest_reply_ms = reply_ms;
  if (refusal_seen(record, watch))
    return frame_failed(watch, frame_failure::refused, UPD_STATUS_REJECTED);

  // An empty reply carries no verdict; bytes past its length are an older
  // reply's, so it cannot count as an acceptance.
  const notify_value reply = notify_snapshot(slot.status);
  if (reply.length == 0) return frame_failed(watch, frame_failure::empty_reply);
  if (reply.data[0] == UPD_STATUS_REJECTED)
    return frame_failed(watch, frame_failure::refused, reply.data[0]);
  return 0;
}

// The frames other than packets, with the text a front end reports when
// one fails (the status-line text where the window shows one).
bool send_step(device_record& record, transfer_watch& watch, uint8_t code, const uint8_t* params,
               uint16_t count, const char* failed_step) {
  const uint32_t written_before = watch.frames_written;
  if (send_frame(record, watch, code, params, count) == 0) return true;
  // Interrupted only when the stop kept this frame from being written.
  const bool held_back = watch.frames_written == written_before && stopping(record);
  watch.failed_step = held_back ? UPD_STEP_INTERRUPTED : failed_step;
  return false;
}

// Streams the image in packets of at most UPD_MAX_PARAMS bytes, folding the
// checksum as it goes. Exactly image_length bytes are sent: a file that grew
// since its length was announced is cut there, one that shrank fails at the
// short read. 0 when every packet was accepted.
int send_image_packets(device_record& record, transfer_watch& watch, uint32_t image_length,
                       FILE* image, uint32_t& crc) {
  display_sink& view = device_view(record);
  uint8_t packet[UPD_MAX_PARAMS];
  uint32_t sent = 0;
  transfer_meter meter;
  meter.start(image_length, tick_count_ms());
  view.show_transfer_progress(meter.progress(), true);
  uint32_t shown_at = tick_count_ms();
  while (sent < image_length) {
    const uint32_t progress = update_progress(sent, image_length);
    status_printf(view, "Progress %u\n", progress);
    show_update_progress(record, progress);
    const uint32_t left = image_length - sent;
    const uint16_t count = static_cast<uint16_t>(left < UPD_MAX_PARAMS ? left : UPD_MAX_PARAMS);
    if (fread(packet, 1, count, image) != count) {
      watch.failed_step = UPD_STEP_SHORT_READ;
      return 1;
    }
    crc = crc32_fold(crc, packet, count);
    if (!send_step(record, watch, UPD_CMD_PACKET, packet, count, "Packet ERROR")) {
      status_printf(view, "Packet ERROR\n");
      return 1;
    }
    // The device needs a breath between packets to program its flash. It
    // paces the whole transfer, so it lasts its length, not a timer tick.
    precise_sleep_ms(UPD_PACKET_PAUSE_MS);
    sent += count;
    watch.acknowledged_bytes = sent;
    const uint32_t now = tick_count_ms();
    meter.sample(sent, now);
    view.show_transfer_step(meter.progress());
    if (now - shown_at >= UPD_RATE_SHOW_MS) {
      view.show_transfer_progress(meter.progress(), true);
      shown_at = now;
    }
  }
  return 0;
}

// After the finish handshake was accepted (rules 3 and 4 above).
bool finish_settles(device_record& record, const transfer_watch& watch) {
  uint32_t settle = 2 * watch.slowest_reply_ms;
  if (settle < UPD_SETTLE_MIN_MS) settle = UPD_SETTLE_MIN_MS;
  if (settle > UPD_SETTLE_MAX_MS) settle = UPD_SETTLE_MAX_MS;
  const uint32_t start = tick_count_ms();
  for (;;) {
    if (refusal_seen(record, watch)) {
      trace_line("[RCS] The device refused the transfer after its finish handshake");
      return false;
    }
    const uint32_t elapsed = tick_count_ms() - start;
    if (elapsed >= settle) break;
    const uint32_t seen = notify_snapshot(status_of(record)).sequence;
    if (notify_wait_for_new(&status_of(record), seen, settle - elapsed) != GATT_OK) break;
  }
  if (refusal_seen(record, watch)) return false;
  const uint32_t replies = replies_seen(record, watch);
  if (replies < watch.frames_written) {
    trace_printf("[RCS] %u frames were answered by only %u statuses\n", watch.frames_written,
                 replies);
    return false;
  }
  return true;
}

// finish_settles failed: on what, for the front end.
void settle_failed(device_record& record, transfer_watch& watch) {
  watch.failed_frame = watch.frames_written;
  if (refusal_seen(record, watch)) {
    watch.failure = frame_failure::refused;
    watch.failed_status = UPD_STATUS_REJECTED;
  } else {
    watch.failure = frame_failure::unanswered;
  }
}

// The image's length in the 32-bit field; nothing has been sent when it
// cannot be had.
update_result learn_image_length(FILE* image, uint32_t& length) {
  const int64_t file_length = os_file_length(image);
  if (file_length < 0) return update_result::length_unknown;
  if (file_length >= UPD_IMAGE_LENGTH_LIMIT) return update_result::image_too_large;
  length = static_cast<uint32_t>(file_length);
  return update_result::accepted;
}

// Whatever way a transfer ends, what it showed of its pace goes.
struct transfer_progress_shown {
  display_sink& view;
  ~transfer_progress_shown() { view.show_transfer_progress(transfer_progress{}, false); }
};

// The whole transfer (see update_transfer); the failed step is in `watch`.
// With `expected_crc`, packets whose checksum differs (the file changed
// under us) end it before the checksum frame: the device then never takes
// them as an image.
int run_transfer(device_record& record, transfer_watch& watch, uint16_t b1_value,
                 uint32_t image_length, FILE* image, uint32_t& crc,
                 const uint32_t* expected_crc = nullptr) {
  display_sink& view = device_view(record);
  const precise_timing_scope pauses_at_their_length;
  const transfer_progress_shown cleared_at_the_end{view};
  show_update_progress(record, 0);
  // A command given up earlier may still answer on the status channel: its
  // statuses must not be taken for the replies of the frames.
  if (!wait_unfinished_command(record) || !wait_update_idle(record)) {
    watch.failed_step = stopping(record) ? UPD_STEP_INTERRUPTED : UPD_STEP_NOT_IDLE;
    return 1;
  }

  watch = start_watch(record);
  status_printf(view, "Clearing memory (Start handshake)\n");
  if (!send_step(record, watch, UPD_CMD_START, UPD_START_TOKEN, sizeof UPD_START_TOKEN,
                 "Start ERROR")) {
    status_printf(view, "Start ERROR\n");
    return 1;
  }

  const uint8_t b1_params[2] = {static_cast<uint8_t>(b1_value >> 8),
                                static_cast<uint8_t>(b1_value & 0xFF)};
  if (!send_step(record, watch, UPD_CMD_B1, b1_params, sizeof b1_params, UPD_STEP_B1)) return 1;

  status_printf(view, "Firmware length\n");
  uint8_t length_params[4];
  put_u32_be(image_length, length_params);
  if (!send_step(record, watch, UPD_CMD_LENGTH, length_params, sizeof length_params,
                 "Length ERROR")) {
    trace_line("Length ERROR");
    return 1;
  }

  trace_line("Firmware packets");
  crc = CRC32_INITIAL;
  if (send_image_packets(record, watch, image_length, image, crc) != 0) return 1;
  if (expected_crc && crc != *expected_crc) {
    trace_line("[RCS] The image file changed while it was sent: nothing more is sent");
    watch.failed_step = UPD_STEP_IMAGE_CHANGED;
    return 1;
  }

  status_printf(view, "CRC32\n");
  uint8_t crc_params[4];
  put_u32_be(crc, crc_params);
  if (!send_step(record, watch, UPD_CMD_CRC, crc_params, sizeof crc_params, "CRC ERROR")) {
    status_printf(view, "CRC ERROR\n");
    return 1;
  }
  // The device checks the image against the checksum before it will take
  // the finish handshake.
  sleep_ms(UPD_FINISH_PAUSE_MS);

  status_printf(view, "Finish handshake\n");
  if (!send_step(record, watch, UPD_CMD_FINISH, UPD_FINISH_TOKEN, sizeof UPD_FINISH_TOKEN,
                 "Finish ERROR")) {
    status_printf(view, "Finish ERROR\n");
    return 1;
  }
  if (!finish_settles(record, watch)) {
    settle_failed(record, watch);
    watch.failed_step = "Finish ERROR";
    status_printf(view, "Finish ERROR\n");
    return 1;
  }
  show_update_progress(record, PROGRESS_FULL);
  return 0;
}

}  // namespace

const char* update_result_text(update_result result) {
  switch (result) {
    case update_result::path_too_long:
      return UPD_BOX_PATH_TOO_LONG;
    case update_result::file_not_found:
      return UPD_BOX_FILE_NOT_FOUND;
    case update_result::not_a_file:
      return UPD_BOX_NOT_A_FILE;
    case update_result::image_too_large:
      return UPD_BOX_IMAGE_TOO_LARGE;
    case update_result::length_unknown:
      return UPD_BOX_LENGTH_UNKNOWN;
    default:
      return UPD_BOX_FAILED;
  }
}

uint32_t crc32_fold(uint32_t crc, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? CRC32_POLYNOMIAL : 0u);
  }
  return crc;
}

uint32_t update_frame_count(uint32_t image_length) {
  const uint32_t packets = image_length / UPD_MAX_PARAMS + (image_length % UPD_MAX_PARAMS ? 1 : 0);
  // Start, B1 and length before the packets; checksum and finish after.
  return 5 + packets;
}

uint32_t update_progress(uint32_t sent, uint32_t image_length) {
  if (image_length == 0) return 0;
  return static_cast<uint32_t>(uint64_t{sent} * UPD_PACKET_PROGRESS_SPAN / image_length);
}

size_t build_update_frame(uint8_t code, const uint8_t* params, uint16_t count, uint8_t* frame) {
  if (count > UPD_MAX_PARAMS) return 0;
  frame[0] = code;
  frame[1] = static_cast<uint8_t>(count >> 8);
  frame[2] = static_cast<uint8_t>(count & 0xFF);
  if (count) memcpy(frame + 3, params, count);
  return 3u + count;
}

std::string update_frame_trace(const uint8_t* frame, size_t size) {
  char head[64];
  const unsigned count = (static_cast<unsigned>(frame[1]) << 8) | frame[2];
  snprintf(head, sizeof head, "[RCS] Sending update command 0x%02X Pars %u - ", frame[0], count);
  return frame_trace_line(head, frame, size);
}

int update_command(uint8_t code, const uint8_t* params, uint16_t count) {
  device_record& record = window_device_record();
  transfer_watch watch = start_watch(record);
  return send_frame(record, watch, code, params, count);
}

int update_transfer(uint16_t b1_value, uint32_t image_length, FILE* image) {
  device_record& record = window_device_record();
  transfer_watch watch = start_watch(record);
  uint32_t crc = 0;
  return run_transfer(record, watch, b1_value, image_length, image, crc);
}

size_t path_length_in_characters(const std::string& utf8) {
  size_t units = 0;
  for (const unsigned char byte : utf8) {
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte
    units += byte >= 0xF0 ? 2 : 1;        // beyond the basic plane: a surrogate pair
  }
  return units;
}

update_outcome update_image(device_record& record, const std::string& path,
                            const image_expectation* expected) {
  const trace_tag_scope tagged(device_record_tag(record));
  update_outcome outcome;
  // The whole text is read, so an over-long path is refused rather than
  // cut to a different, possibly existing, file.
  if (path_length_in_characters(path) >= UPDATE_PATH_SIZE) {
    outcome.result = update_result::path_too_long;
    return outcome;
  }
  // Only a regular file is sent: a device or a pipe opens as an empty or
  // endless stream, and a FIFO would hold the worker until a writer came.
  open_file_result opened = open_file_result::not_found;
  FILE* image = os_open_regular_file(path.c_str(), opened);
  if (!image) {
    outcome.result = opened == open_file_result::not_a_file ? update_result::not_a_file
                                                            : update_result::file_not_found;
    return outcome;
  }
  uint32_t length = 0;
  outcome.result = learn_image_length(image, length);
  if (outcome.result != update_result::accepted) {
    fclose(image);
    return outcome;
  }
  outcome.image_bytes = length;
  outcome.frames_in_image = update_frame_count(length);
  if (expected && expected->bytes != length) {
    fclose(image);
    outcome.result = update_result::image_changed;
    outcome.failed_step = UPD_STEP_IMAGE_CHANGED;
    return outcome;
  }
  const uint32_t started = tick_count_ms();
  transfer_watch watch = start_watch(record);
  const int failed = run_transfer(record, watch, 0, length, image, outcome.image_crc,
                                  expected ? &expected->crc32 : nullptr);
  fclose(image);
  outcome.seconds = (tick_count_ms() - started) / 1000.0;
  outcome.acknowledged_bytes = watch.acknowledged_bytes;
  if (failed) {
    const std::string step = *watch.failed_step ? watch.failed_step : "Update ERROR";
    outcome.result = step == UPD_STEP_INTERRUPTED     ? update_result::interrupted
                     : step == UPD_STEP_IMAGE_CHANGED ? update_result::image_changed
                                                      : update_result::transfer_failed;
    outcome.failed_step = step;
    outcome.failure = watch.failure;
    outcome.failed_frame = watch.failed_frame;
    outcome.failed_status = watch.failed_status;
    return outcome;
  }
  outcome.result = update_result::accepted;
  return outcome;
}

update_outcome update_image(const std::string& path, const image_expectation* expected) {
  return update_image(window_device_record(), path, expected);
}

void request_update_stop() {
  stop_requested = true;
}

void clear_update_stop() {
  stop_requested = false;
}

void set_frame_look_tap_for_tests(frame_look_tap tap) {
  look_tap = tap;
}

void update_from_file() {
  const update_outcome outcome = update_image(read_update_path());
  if (outcome.result == update_result::accepted) {
    message_box(display_window::main, UPD_BOX_SUCCESS, "Success", box_icon::information);
    return;
  }
  message_box(display_window::none, update_result_text(outcome.result), "Error", box_icon::warning);
}
