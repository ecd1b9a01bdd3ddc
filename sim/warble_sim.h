/* Control interface of the stand-in BLE library (sim/). Not part of the
 * warble interface the program uses: tests call these directly, and the
 * Windows program under Wine gets its scenario from the file named by the
 * environment variable WARBLE_SIM_SCENARIO (and writes its record to the
 * file named by WARBLE_SIM_RECORD, when set, after every change of an
 * update verdict and at process exit).
 *
 * Scenario text: one "key = value" per line, '#' starts a comment, blank
 * lines ignored. Keys before the first [device] line are global; each
 * [device] line starts a new simulated device whose keys follow it. Every
 * key has a default, so an empty scenario is the default world: one device
 * of ours. [device] keys given before the first [device] line are defaults
 * for every device (and make up the one default device when no [device]
 * line follows). Errors name the line: "line 3: unknown key 'colour'".
 *
 * Global keys
 *   seed = N                      random seed (deterministic runs)
 *   connection_interval_ms = F    link timing: writes and notifications
 *                                 land on connection-event boundaries
 *                                 (0 = immediate; default 0); a [device]
 *                                 may set its own
 *   radio = shared|ideal          shared (default): one adapter radio for
 *                                 every link (see Link timing); ideal:
 *                                 every link has the radio to itself, no
 *                                 limit on connections
 *   max_links = N                 links the adapter holds at once (default
 *                                 8, shared radio): a connect beyond them
 *                                 completes with "Too many connections"
 *   arrivals_every_ms = N         devices turn up one after another, N ms
 *                                 apart in the order of their [device]
 *                                 lines: the k-th (from 0) k x N ms after
 *                                 the configure (default 0: all at once);
 *                                 a device's own appears_after_ms wins
 *   advertise_interval_ms = N     how often each device is reported while
 *                                 scanning (default 50)
 *   flood = N                     also advertise N generated devices
 *                                 (distinct MACs, names "BLE Device N",
 *                                 RSSI from the seed), for scan floods;
 *                                 they connect but carry no service of ours
 *   callback_thread = one|many    many (default): completions, notifications
 *                                 and scan results come from threads of
 *                                 their own. one: every handler runs on one
 *                                 library thread, in due-time order (those
 *                                 that run before the starting call returns
 *                                 still do); warble_gatt_disconnect,
 *                                 warble_gattchar_disable_notifications_async
 *                                 and warble_scanner_stop first wait until
 *                                 the handler running on it returned (not
 *                                 when called from it), at most 5 s; a wait
 *                                 that runs out counts a callback stall
 *
 * [device] keys
 *   mac = XX:XX:XX:XX:XX:XX       (default C4:7C:8D:6A:3E:01 for the first)
 *   name = text | <null> | <empty> | <long>   advertised name (<long>: 300
 *                                 characters)
 *   rssi = N                      dBm (default -67)
 *   proprietary = yes|no          carries the four proprietary
 *                                 characteristics (default yes)
 *   firmware_revision, manufacturer, model_number, serial_number = text |
 *                                 <absent> | <empty> | <long> (255
 *                                 characters)   Device Information strings
 *                                 (defaults 1.05, TAVREN, RD-1, SN0001)
 *   missing = uuid[,uuid...]      characteristics left out
 *   manufacturer_data = 0xCCCC:hex bytes   advertised (repeatable)
 *   advertised_services = uuid[,uuid...]   advertised service UUIDs
 *   command_busy_ms = N           time the command channel stays busy
 *                                 (default 20)
 *   version = hex bytes           response to command 0x0000
 *   fw_date = text, fw_time = text  responses to 0x0001 and 0x0002
 *   command_status = N            idle status after a command (0 or 4)
 *   initial_status = N            status byte 0 before anything happens
 *   status_stays_busy_ms = N      status byte 0 reads 1 for this long after
 *                                 the connection (-1: for ever)
 *   reply_delay_ms = N            delay of every update status reply
 *   connection_interval_ms = F    this device's links' interval (default:
 *                                 the world's)
 *   data_length = 27..251         most bytes a packet carries on its links
 *                                 (default 251, data length extension; 27:
 *                                 none)
 *   restart_after_finish = yes|no after it accepted a finish handshake the
 *                                 device restarts to install the image
 *                                 (default no): restart_delay_ms later it
 *                                 drops every link to it (the disconnect
 *                                 handler gets LINK_DROP_STATUS, 0x08), then
 *                                 for restart_absent_ms it is not reported
 *                                 by scans and a connect completes with "No
 *                                 device found with address ..."; each
 *                                 accepted update restarts it again
 *   restart_delay_ms = N          (default 100)
 *   restart_absent_ms = N         (default 3000; -1: never comes back)
 *   revision_after_restart = text the Firmware Revision it reads after a
 *                                 restart (default: firmware_revision)
 *   old_revision_for_ms = N       once back it still reads the revision it
 *                                 had before the restart for N ms (it is
 *                                 still installing; default 0)
 *   appears_after_ms = N          the device comes into range N ms after
 *                                 the configure (default: its place in
 *                                 arrivals_every_ms, else at once); until
 *                                 then it is not reported by scans and a
 *                                 connect completes with "No device found
 *                                 with address ..."
 *   present_for_ms = N            N ms after it came into range it goes for
 *                                 good (-1, the default: never): every link
 *                                 to it drops as for a device out of range
 *                                 (the disconnect handler gets
 *                                 LINK_DROP_STATUS, 0x08), scans no longer
 *                                 report it and connects complete with "No
 *                                 device found with address ...", whatever
 *                                 a restart would have brought back. A
 *                                 restart is no departure: the time it is
 *                                 away restarting counts as present, and
 *                                 once back it is the same arrival
 *
 * The device: a command written to fabbe002 (2-byte big-endian code, then
 * parameters) is answered with status 01 on fabbe004 at once, and after
 * command_busy_ms with the response bytes on fabbe006 followed by the idle
 * status (command_status; 4 for an unknown code). Every frame written to
 * fabbe008 is judged (order start, B1, length, packets, CRC, finish; tokens;
 * length field; CRC-32/JAMCRC over the image) and answered on fabbe004 with
 * 0 (accepted) or 5 (refused); after a refusal every frame is refused until
 * the next start frame. Status notifications carry two bytes: the status
 * and the low byte of the code answered. A non-zero status (busy, or
 * initial_status) is notified once the program has enabled fabbe004 and
 * registered its handler; the end of status_stays_busy_ms is notified too.
 * Scan results: the configured devices and the flood, each reported every
 * advertise_interval_ms from the scanner thread. Proprietary service UUID
 * (for warble_gatt_has_service): fabbe000-4910-473c-be46-960948c2f59c.
 *
 * Fault keys (in a [device] section; counted frames start at 1 and count
 * every frame written to fabbe008):
 *   refuse_frame = N              answer frame N with status 5
 *   refuse_code = 0xB4            answer every frame of that code with 5
 *   no_reply_frame = N            never answer frame N
 *   late_reply_frame = N:MS       answer frame N after MS ms
 *   drop_link_frame = N           drop the link when frame N arrives
 *                                 (on_disconnect fires, later writes fail)
 *   drop_link_at = KIND:N         drop the link when the N-th request of
 *                                 KIND reaches the device (repeatable).
 *                                 KIND: frame (counted as for
 *                                 drop_link_frame), command (write to
 *                                 fabbe002), read, enable, disable; each
 *                                 kind counted from 1 since the configure,
 *                                 over every device, leaving out requests
 *                                 that read_error, write_error or
 *                                 enable_error fail. The
 *                                 request is not carried out; its
 *                                 completion, if it has one, fails with
 *                                 "Connection lost" after the disconnect
 *                                 handler
 *   connect_error = text          connect completes with this error
 *                                 (an address no device has: an error too)
 *   connect_error_times = N       only the first N connect attempts to the
 *                                 device fail so (a device the system does
 *                                 not know yet, for a moment)
 *   connect_timeout = yes         connect never completes
 *   read_error = uuid | all       reads of it complete with an error
 *   write_error = uuid | all      writes of it complete with an error
 *   enable_error = uuid | all     enabling its notifications fails
 *   late_completion_ms = N        completions of reads and writes with
 *                                 response arrive N ms late
 *   (write_error on a write without response fails it at once and nothing
 *   reaches the device)
 *   noise_notifications = yes     notifications on the response and update
 *                                 channels between the status replies
 *   duplicate_notifications = yes every notification is delivered twice
 *   notification_size = 0|255     status replies padded/cut to this size
 *                                 (byte 0 kept when the size allows;
 *                                 padding 0xA5); any size 0..255 is taken
 *   unprompted_status = N:before|after:VALUE[:DELAY_MS]   (repeatable)
 *                                 around its reply to frame N the device
 *                                 sends a status of its own, bytes VALUE 0
 *                                 (sized as the replies): before = just
 *                                 ahead of the reply, after = DELAY_MS
 *                                 (only with after; default 0) after it;
 *                                 also when that reply is lost. One sent
 *                                 after the reply is the status a read
 *                                 returns from then on
 *   late_duplicate_replies = yes  every reply to an update frame is
 *                                 delivered again once the next frame
 *                                 arrives, ahead of that frame's reply;
 *                                 never when no next frame comes on that
 *                                 link
 *   late_status_command = N:MS    command N (counted from 1 since the
 *                                 configure, as for drop_link_at) keeps the
 *                                 device busy MS ms, not command_busy_ms
 *   response_after_status_ms = D  every command's final status comes
 *                                 first and its response D ms after it,
 *                                 once the status handler returned, from
 *                                 another library thread (the same one in
 *                                 the one-thread mode)
 *
 * Link timing: connection events fall every connection_interval_ms from the
 * moment the link came up. A write, read or subscription reaches the device
 * at the first event after the call; its completion and the device's reply
 * go out one interval later. A command's end and a late reply are rounded up
 * to an event, then one interval later.
 *
 * The shared radio (radio = shared, links with an interval): one adapter
 * radio carries every link's events, each for its airtime (1M PHY: 8 us a
 * byte, 10 bytes of overhead a packet, 150 us between packets, an empty
 * exchange 310 us; an update frame's write event 2.3 ms with data length
 * extension, 6.5 ms without; sim/radio_model.h has the figures). A link
 * comes up at its anchor: one interval after the connect call or, with
 * other links up, the eighth of the interval after that farthest from
 * their events. An event carries what is queued on its link (as much as
 * fits before the link's next one) and delivers each item at the end of
 * its last packet; an event that would start while another is on the air
 * is skipped, and what it would have carried waits for the link's next
 * one (of two at once, the link skipped most so far goes). While the
 * scanner runs it takes the radio for a scan window of 10 ms every 100 ms,
 * also while links carry transfers: a link event due inside a window is
 * skipped like one inside another link's event, and what it would have
 * carried waits for the link's next one (a window due during an event
 * begins at its end, so a link at 7.5 ms loses at least one event to every
 * window and the update's throughput drops by about a tenth;
 * sim/radio_model.h has the figures). One connection is set up at a time:
 * a connect while another is being set up completes with "Another
 * connection is being set up" (counted). A connection may be set up while
 * the scanner runs, as a real adapter allows; scanning goes on meanwhile
 * (the setup itself takes no airtime here). For one link alone the timing
 * is the one above, deliveries later by their packets' airtime.
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

/* What a simulated device received during its latest update transfer.
 * Every device keeps its own; warble_sim_update_record describes the latest
 * transfer of the world (the device whose start frame came last; before
 * any, the first device). */
typedef struct {
  int32_t frames;  /* update frames received, of every kind */
  int32_t packets; /* 0xB4 frames */
  uint32_t announced_length;
  uint32_t image_size;          /* bytes received in packets */
  uint32_t received_crc;        /* value of the CRC frame */
  uint32_t computed_crc;        /* CRC-32/JAMCRC over the received image */
  int32_t finished;             /* 1 when a finish handshake was accepted */
  int32_t accepted;             /* 1 when the image was accepted whole and exact */
  int32_t frames_after_failure; /* frames written after a refused or unanswered one */
  char verdict[160];            /* "accepted", or why not */
  int32_t transfers;            /* start frames seen since the world was configured
                                   (warble_sim_update_record: on every device;
                                   warble_sim_update_record_of: on that one) */
  int32_t first_failed_frame;   /* counted number of the first refused, unanswered
                                   or link-dropping frame; 0 none */
  int32_t frames_after_finish;  /* frames written after an accepted finish */
  uint32_t b1_value;            /* value of the 0xB1 frame */
  int32_t crc_received;         /* 1 when a CRC frame arrived (received_crc valid) */
  /* Frames the program wrote having decided to after a status 5 of this
   * transfer had reached it (its handler call had returned): decided at
   * the look it told of with warble_sim_program_looks, else at the write
   * call. */
  int32_t frames_after_refusal_seen;
  /* Status 5 notifications the device sent after it had accepted a finish
   * handshake of this transfer (a reply or one of its own). */
  int32_t refusals_after_finish;
  /* Handler calls with a status notification of this transfer. */
  int32_t status_notifications;
} WarbleSimUpdateRecord;

WARBLE_API int32_t warble_sim_update_record(WarbleSimUpdateRecord* out);
/* The record of the device with that address (any letter case): 0, or -1
 * for an address no configured device has. */
WARBLE_API int32_t warble_sim_update_record_of(const char* mac, WarbleSimUpdateRecord* out);

/* The program on connection `gatt` begins to look at what it received, to
 * decide whether its next update frame goes out: the record judges that
 * frame by this moment rather than by its write call, which a loaded
 * machine may delay past a refusal the look had not seen (a program that
 * tells none is judged by its write calls). A connection that is not live
 * is passed over. */
WARBLE_API void warble_sim_program_looks(const WarbleGatt* gatt);

/* Copies up to `capacity` bytes of the image the latest transfer received
 * (of that device's latest transfer: 0 for an unknown address); returns its
 * size. */
WARBLE_API uint32_t warble_sim_image(uint8_t* dest, uint32_t capacity);
WARBLE_API uint32_t warble_sim_image_of(const char* mac, uint8_t* dest, uint32_t capacity);

/* Writes on a characteristic (any of the four proprietary ones), in order:
 * how many, and the bytes of the index-th (its length, or -1). */
WARBLE_API int32_t warble_sim_write_count(const char* uuid);
WARBLE_API int32_t warble_sim_write_at(const char* uuid, int32_t index, uint8_t* dest,
                                       int32_t capacity);
/* When the index-th write reached the device, in microseconds after its link
 * came up (a multiple of the connection interval when one is set), or -1. */
WARBLE_API int64_t warble_sim_write_arrival_us(const char* uuid, int32_t index);
/* When it landed on the device: the end of its last packet on the shared
 * radio (else its arrival), in microseconds after its link came up, or -1. */
WARBLE_API int64_t warble_sim_write_landed_us(const char* uuid, int32_t index);

/* Named counters: "connects", "connect_attempts", "disconnects",
 * "deletes", "open_connections" (created and not deleted),
 * "live_links", "scan_starts", "scan_stops", "scan_results",
 * "results_after_stop", "enables", "disables", "reads", "writes",
 * "writes_no_resp", "handle_misuse" (a call on a dead handle), also
 * "link_drops" (links the device dropped), "creates", "notifications"
 * (handler calls), "callback_stalls" (waits for a callback in flight
 * that ran out, in the one-thread mode), "restarts" (restarts after an
 * accepted update, every device); the shared radio's "airtime_us" (every
 * link's events), "airtime_us.XX:XX:XX:XX:XX:XX" (one device's links),
 * "skipped_events", "peak_links" (most links up at once), "overlaps" (two
 * holds of the radio at once: always 0 unless the scheduler is wrong),
 * "concurrent_setups" (connects refused while another was set up),
 * "scan_windows" (scan windows the scanner held the radio for) and
 * "scan_skipped_events" (link events skipped for one of them); "arrivals"
 * (configured devices that came into range, those in range from the start
 * at the configure; the flood is not counted) and "departures" (those that
 * went for good), so arrivals - departures are in range now (a restart
 * counts in neither).
 * "disconnects" counts links taken
 * down by warble_gatt_disconnect; "connects" links that came up. Every counter
 * restarts at a configure. Unknown: -1. */
WARBLE_API int32_t warble_sim_counter(const char* name);

/* Writes the whole record as text (one "key = value" per line, the image as
 * its size and CRC): the latest transfer's lines, then for each device that
 * saw a transfer its own, "device.MAC.verdict", ".transfers", ".frames",
 * ".packets", ".accepted", ".finished", ".frames_after_failure",
 * ".frames_after_finish", ".image_size" and ".image_crc"; beside it,
 * path + ".image" holds the latest transfer's image. The file named by
 * WARBLE_SIM_RECORD is written whenever any device's verdict changes.
 * 0, or -1. */
WARBLE_API int32_t warble_sim_write_record(const char* path);

/* Drops every live link now, as a radio link that goes away (the
 * disconnect handlers run on a library thread). Returns how many. */
WARBLE_API int32_t warble_sim_drop_links(void);

/* Sends a notification of `length` bytes from the device on the
 * characteristic `uuid` of every live link that has it enabled. Returns
 * how many links it went to, or -1 for bad arguments. */
WARBLE_API int32_t warble_sim_notify(const char* uuid, const uint8_t* value, int32_t length);

/* Time, for tests that must not depend on how fast the machine runs.
 * Driven (1), the stand-in's clock stands still at the present moment and
 * moves only in warble_sim_advance_clock; real (0, the start) is the
 * steady clock again. Every delivery, device action and radio event is
 * then played at its simulated moment on the library's threads as before,
 * whatever the load: what a test measures is the simulation's own figure.
 * The scanner runs in real time only: it does not start while the clock is
 * driven, and the clock is not driven while it runs (0, else -1 with the
 * reason in warble_sim_error()). A world carried across a switch sees its
 * time jump: configure one after it. */
WARBLE_API int32_t warble_sim_drive_clock(int32_t driven);
/* The driven clock, in microseconds since it began to be driven. */
WARBLE_API int64_t warble_sim_clock_us(void);
/* Moves the driven clock on by one step: first everything due at the
 * present moment runs (the test's own calls there included); then, when
 * something is due before `until_us`, the clock moves to the earliest such
 * moment and runs all of it, and what it causes at that same moment; else
 * it moves to `until_us` and leaves what is due there for the next step, so
 * that the test acts at that moment before it. Returns once every handler
 * called has returned: the new time, or -1 when the clock is not driven or
 * a handler did not return within 30 s. */
WARBLE_API int64_t warble_sim_advance_clock(int64_t until_us);

#ifdef __cplusplus
}
#endif

#endif /* WARBLE_SIM_H */
