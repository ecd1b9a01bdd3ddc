/* Control interface of the stand-in BLE library (sim/). Not part of the
 * warble interface the program uses: tests call these directly, and the
 * Windows program under Wine gets its scenario from the file named by the
 * environment variable WARBLE_SIM_SCENARIO (and writes its record to the
 * file named by WARBLE_SIM_RECORD, when set, after every change of the
 * update verdict and at process exit).
 *
 * Scenario text: one "key = value" per line, '#' starts a comment, blank
 * lines ignored. Keys before the first [device] line are global; each
 * [device] line starts a new simulated device whose keys follow it. Every
 * key has a default, so an empty scenario is the default world: one device
 * of ours.
 *
 * Global keys
 *   seed = N                      random seed (deterministic runs)
 *   connection_interval_ms = F    link timing: writes and notifications
 *                                 land on connection-event boundaries
 *                                 (0 = immediate; default 0)
 *   advertise_interval_ms = N     how often each device is reported while
 *                                 scanning (default 50)
 *   flood = N                     also advertise N generated devices
 *                                 (distinct MACs), for scan floods
 *
 * [device] keys
 *   mac = XX:XX:XX:XX:XX:XX       (default C4:7C:8D:6A:3E:01 for the first)
 *   name = text | <null> | <empty> | <long>   advertised name (<long>: 300
 *                                 characters)
 *   rssi = N                      dBm (default -67)
 *   proprietary = yes|no          carries the four proprietary
 *                                 characteristics (default yes)
 *   firmware_revision, manufacturer, model_number, serial_number = text |
 *                                 <absent>   Device Information strings
 *   missing = uuid[,uuid...]      characteristics left out
 *   command_busy_ms = N           time the command channel stays busy
 *   version = hex bytes           response to command 0x0000
 *   fw_date = text, fw_time = text  responses to 0x0001 and 0x0002
 *   command_status = N            idle status after a command (0 or 4)
 *   initial_status = N            status byte 0 before anything happens
 *   status_stays_busy_ms = N      status byte 0 reads 1 for this long after
 *                                 the connection (-1: for ever)
 *   reply_delay_ms = N            delay of every update status reply
 *
 * Fault keys (in a [device] section; counted frames start at 1 and count
 * every frame written to fabbe008):
 *   refuse_frame = N              answer frame N with status 5
 *   refuse_code = 0xB4            answer every frame of that code with 5
 *   no_reply_frame = N            never answer frame N
 *   late_reply_frame = N:MS       answer frame N after MS ms
 *   drop_link_frame = N           drop the link when frame N arrives
 *                                 (on_disconnect fires, later writes fail)
 *   connect_error = text          connect completes with this error
 *   connect_timeout = yes         connect never completes
 *   read_error = uuid | all       reads of it complete with an error
 *   write_error = uuid | all      writes of it complete with an error
 *   enable_error = uuid | all     enabling its notifications fails
 *   late_completion_ms = N        completions of reads and writes with
 *                                 response arrive N ms late
 *   noise_notifications = yes     notifications on the response and update
 *                                 channels between the status replies
 *   duplicate_notifications = yes every notification is delivered twice
 *   notification_size = 0|255     status replies padded/cut to this size
 *                                 (byte 0 kept when the size allows)
 */
#ifndef WARBLE_SIM_H
#define WARBLE_SIM_H

#include <stdint.h>

#include "ble/warble.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the whole simulated world (devices, faults, records) with the
 * scenario. Connections still open are dropped. 0, or -1 with the reason in
 * warble_sim_error(). */
WARBLE_API int32_t warble_sim_configure(const char* scenario_text);
WARBLE_API int32_t warble_sim_configure_file(const char* path);
WARBLE_API const char* warble_sim_error(void);

/* What the simulated device received during the latest update transfer. */
typedef struct {
  int32_t frames;           /* update frames received, of every kind */
  int32_t packets;          /* 0xB4 frames */
  uint32_t announced_length;
  uint32_t image_size;      /* bytes received in packets */
  uint32_t received_crc;    /* value of the CRC frame */
  uint32_t computed_crc;    /* CRC-32/JAMCRC over the received image */
  int32_t finished;         /* 1 when a finish handshake was accepted */
  int32_t accepted;         /* 1 when the image was accepted whole and exact */
  int32_t frames_after_failure; /* frames written after a refused or unanswered one */
  char verdict[160];        /* "accepted", or why not */
} WarbleSimUpdateRecord;

WARBLE_API int32_t warble_sim_update_record(WarbleSimUpdateRecord* out);

/* Copies up to `capacity` bytes of the received image; returns its size. */
WARBLE_API uint32_t warble_sim_image(uint8_t* dest, uint32_t capacity);

/* Writes on a characteristic (any of the four proprietary ones), in order:
 * how many, and the bytes of the index-th (its length, or -1). */
WARBLE_API int32_t warble_sim_write_count(const char* uuid);
WARBLE_API int32_t warble_sim_write_at(const char* uuid, int32_t index, uint8_t* dest,
                                       int32_t capacity);

/* Named counters: "connects", "connect_attempts", "disconnects",
 * "deletes", "open_connections" (created and not deleted),
 * "live_links", "scan_starts", "scan_stops", "scan_results",
 * "results_after_stop", "enables", "disables", "reads", "writes",
 * "writes_no_resp", "handle_misuse" (a call on a dead handle). Unknown: -1. */
WARBLE_API int32_t warble_sim_counter(const char* name);

/* Writes the whole record as text (one "key = value" per line, the image as
 * its size and CRC). 0, or -1. */
WARBLE_API int32_t warble_sim_write_record(const char* path);

#ifdef __cplusplus
}
#endif

#endif /* WARBLE_SIM_H */
