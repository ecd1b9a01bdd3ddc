// Sends a firmware image to the connected device over the update
// characteristic: framed, acknowledged one frame at a time, with a CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

struct device_record;
struct WarbleGatt;

constexpr uint8_t UPD_CMD_START = 0x7F;
constexpr uint8_t UPD_CMD_B1 = 0xB1;
constexpr uint8_t UPD_CMD_LENGTH = 0xB2;
constexpr uint8_t UPD_CMD_PACKET = 0xB4;
constexpr uint8_t UPD_CMD_CRC = 0xB7;
constexpr uint8_t UPD_CMD_FINISH = 0x8F;
constexpr uint16_t UPD_MAX_PARAMS = 240;
constexpr uint8_t UPD_STATUS_REJECTED = 5;
constexpr uint8_t UPD_START_TOKEN[8] = {0x3c, 0xa1, 0x97, 0x0e, 0x52, 0xd4, 0x6b, 0xf8};
constexpr uint8_t UPD_FINISH_TOKEN[8] = {0xe5, 0x12, 0x7d, 0x49, 0xb0, 0x2c, 0x86, 0x3f};
constexpr uint32_t UPD_REPLY_TIMEOUT_MS = 100000;
constexpr uint32_t UPD_IDLE_POLL_MS = 100;
constexpr uint32_t UPD_IDLE_POLL_COUNT = 99;
constexpr uint32_t UPD_PACKET_PAUSE_MS = 10;
constexpr uint32_t UPD_FINISH_PAUSE_MS = 1000;
// After the finish handshake was accepted, a refusal may still be on its way
// (see firmware_update.cpp): the transfer waits twice its slowest reply
// within these bounds before it counts as a success.
constexpr uint32_t UPD_SETTLE_MIN_MS = 250;
constexpr uint32_t UPD_SETTLE_MAX_MS = 5000;
// A path of this many characters or more is refused (it did not fit the
// field's buffer with its terminator). Characters as the path field holds
// them: UTF-16 units, one for every letter of any script, two for the rare
// ones beyond the basic plane.
constexpr size_t UPDATE_PATH_SIZE = 512;
constexpr size_t UPD_FRAME_MAX = 3 + UPD_MAX_PARAMS;
// Progress of the packets runs 0..UPD_PACKET_PROGRESS_SPAN - 1; the finish
// handshake takes the bar to PROGRESS_FULL.
constexpr uint32_t UPD_PACKET_PROGRESS_SPAN = 900;

// Texts of the result boxes.
constexpr const char* UPD_BOX_PATH_TOO_LONG = "Path too long";
constexpr const char* UPD_BOX_FILE_NOT_FOUND = "File not found";
constexpr const char* UPD_BOX_NOT_A_FILE =
    "Not a firmware image file: a device, a folder or a pipe cannot be sent";
constexpr const char* UPD_BOX_IMAGE_TOO_LARGE =
    "Firmware image too large: 4 GiB or more cannot be sent";
constexpr const char* UPD_BOX_LENGTH_UNKNOWN = "Cannot learn the size of the firmware image";
constexpr const char* UPD_BOX_FAILED = "Update from local file error";
constexpr const char* UPD_BOX_SUCCESS =
    "Updated finished OK!!\n(Now WAIT till the device finishes the update)";

// Texts of the step that failed a transfer, for the front ends to report:
// the status-line texts ("Start ERROR", "Length ERROR", "Packet ERROR",
// "CRC ERROR", "Finish ERROR") and these for the steps that show none.
constexpr const char* UPD_STEP_NOT_IDLE = "Device busy";
constexpr const char* UPD_STEP_B1 = "B1 ERROR";
constexpr const char* UPD_STEP_SHORT_READ = "Image read ERROR";
constexpr const char* UPD_STEP_INTERRUPTED = "Interrupted";
constexpr const char* UPD_STEP_IMAGE_CHANGED = "Image changed";

// How an update ended; each front end says it its own way.
enum class update_result {
  accepted,  // the finish handshake was accepted and settled
  path_too_long,
  file_not_found,
  not_a_file,
  image_too_large,
  length_unknown,
  transfer_failed,  // refused, unanswered, link lost, short read: see failed_step
  interrupted,      // stopped on request before a frame
  image_changed,    // the file no longer holds the bytes it was expected to hold
};

// Why the frame that ended a transfer failed.
enum class frame_failure {
  none,
  refused,        // the device answered with a refusal (status 5)
  empty_reply,    // the device answered with an empty status
  no_reply,       // no status within UPD_REPLY_TIMEOUT_MS
  link_lost,      // the link went down before the reply
  not_written,    // the library did not take the write
  not_listening,  // the status channel was never subscribed: no reply can be heard
  unanswered,     // after the finish: fewer statuses than frames
};

// What the update is to send: a front end that checked the image before
// (and told its user what it holds) has exactly those bytes sent or nothing.
struct image_expectation {
  uint64_t bytes = 0;
  uint32_t crc32 = 0;  // as the CRC frame carries it
};

struct update_outcome {
  update_result result = update_result::transfer_failed;
  std::string failed_step;   // for transfer_failed and interrupted
  uint32_t image_bytes = 0;  // the image's length, once it was learnt
  uint32_t image_crc = 0;    // the checksum sent, once every packet was
  double seconds = 0;        // from the idle wait to the end
  // For transfer_failed: why the frame failed, which one (counted from 1,
  // the start handshake; 0 when none was written), and the status that
  // refused it (-1 when none did).
  frame_failure failure = frame_failure::none;
  uint32_t failed_frame = 0;
  int failed_status = -1;
  uint32_t frames_in_image = 0;     // every frame the whole transfer takes
  uint32_t acknowledged_bytes = 0;  // image bytes in packets the device accepted
};

// The length of a UTF-8 path in the path field's characters (UTF-16 units).
size_t path_length_in_characters(const std::string& utf8);

// What a user is told of an update that did not go: the texts of the
// window's boxes ("File not found", "Update from local file error", ...).
const char* update_result_text(update_result result);

// The record's thread: sends the image at `path` (UTF-8) to the record's
// connected device, reporting through the record's view. With `expected`
// (may be null), a file whose length differs is refused before any frame,
// and one whose bytes differ fails before the checksum frame, so the device
// never takes other bytes than those expected. Without a record: the
// window's (the worker thread, or a front end's own thread that runs no
// other device operation meanwhile).
update_outcome update_image(device_record& record, const std::string& path,
                            const image_expectation* expected = nullptr);
update_outcome update_image(const std::string& path, const image_expectation* expected = nullptr);

// Any thread, also a signal handler: every running update, on every
// record, writes no new frame. The frame in flight is waited for and judged as ever (its reply
// within its bound; for the finish handshake also the settle time after
// it): a refusal ends the update as failed, and a finish accepted ends it
// as accepted, since the device then installs the image whatever we do.
// Only an update that had a frame left to write ends as interrupted. Stays
// until cleared.
void request_update_stop();
void clear_update_stop();

// Tests only: called on the transfer's thread as it begins its last look at
// the status channel before a frame's write: the frame goes out unless
// that look finds a refusal of this transfer. A check of the guarantee
// that nothing is written once the program has seen a refusal can then
// judge each frame by the look that let it go, not by when the write
// happened to reach the library. Null removes it.
using frame_look_tap = void (*)(const WarbleGatt* connection);
void set_frame_look_tap_for_tests(frame_look_tap tap);

// The Update button's request takes its image path from the front end when
// it starts, not when the button was pressed: the window reads its path
// field then. A front end with such a field installs its reader; without
// one the path is empty.
// (update_path.cpp: a unit of its own, so that a front end or a test links
// the reader without the transfer.)
void set_update_path_reader(std::function<std::string()> reader);
std::string read_update_path();

// Worker thread: the Update button's request: the path through the reader,
// then the result box.
void update_from_file();

// The window's: the transfer of `image_length` bytes from `image` (open,
// binary, at its first byte; the caller keeps and closes it). 0 when the
// finish handshake was accepted, 1 on any failure.
int update_transfer(uint16_t b1_value, uint32_t image_length, FILE* image);

// The window's: one update frame on its own; 0 when the device accepted
// it, 1 otherwise (also when a refusal arrived after the frame was
// written).
int update_command(uint8_t code, const uint8_t* params, uint16_t count);

// Folds bytes into a running CRC-32 (reflected 0xEDB88320, no table, no
// final inversion); start from 0xFFFFFFFF.
uint32_t crc32_fold(uint32_t crc, const uint8_t* bytes, size_t count);

// Every frame a transfer of `image_length` bytes takes: start, B1, length,
// the packets, checksum and finish.
uint32_t update_frame_count(uint32_t image_length);

// The progress bar's position before a packet: sent * 900 / image_length,
// rounded down, in 64-bit arithmetic (an image of several MiB overflows the
// 32-bit product). 0 for an empty image.
uint32_t update_progress(uint32_t sent, uint32_t image_length);

// Writes the frame (code, 16-bit big-endian count, parameters) into `frame`
// (room for UPD_FRAME_MAX bytes) and returns its size; 0 when count exceeds
// UPD_MAX_PARAMS.
size_t build_update_frame(uint8_t code, const uint8_t* params, uint16_t count, uint8_t* frame);

// The trace line of a non-packet frame, newline included.
std::string update_frame_trace(const uint8_t* frame, size_t size);
