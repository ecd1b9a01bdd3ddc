// The four commands and what each says on standard output.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>

#include "ble/ble_api.h"
#include "ble/bluez_backend.h"
#include "cli/cli.h"
#include "cli/console_display.h"
#include "cli/interruption.h"
#include "cli/options.h"
#include "device/command_channel.h"
#include "device/device_state.h"
#include "fleet/batch.h"
#include "fleet/device_session.h"
#include "fleet/image_file.h"
#include "fleet/line.h"
#include "fleet/mac_address.h"
#include "fleet/printable.h"
#include "fleet/record_view.h"
#include "fleet/report.h"
#include "fleet/spooled_store.h"
#include "platform/os.h"
#include "platform/trace.h"

namespace {

// The device sends a firmware date or time without a terminating zero and
// may fill the buffer the window uses for it.
constexpr uint8_t FW_STAMP_CAPACITY = 30;

using json = nlohmann::ordered_json;

struct context {
  const cli_options& options;
  const cli_streams& streams;
  console_display& display;
};

// A failure before any result: said on standard error, and with --json as
// the one JSON document on standard output.
exit_status fail(const context& c, const command_failure& failure) {
  c.display.error("tavren-update: " + printable(failure.message), failure.code);
  if (c.options.json) {
    json document;
    document["error"] = {{"code", failure.code}, {"message", failure.message}};
    c.streams.out << json_text(document);
    c.streams.out.flush();
  }
  return failure.status;
}

// The library the window program loads: on Windows the one beside the
// program, found by the program's own folder, so that a warble.dll that
// happens to lie in the current folder is never taken instead.
std::string default_library() {
#if defined(_WIN32)
  return os_program_folder() + ble_library_file_name();
#else
  return ble_library_file_name();
#endif
}

// The loader's words for a library that is not there at all (rather than
// one that is there and would not load).
bool library_absent(const std::string& reason) {
  return reason.find("No such file or directory") != std::string::npos;
}

// BlueZ is checked again for every command (bluetoothd, the adapter and
// its power may have changed since); its table never changes.
bool load_bluez(const context& c, command_failure& failure, const std::string& instead_of) {
  std::string error;
  if (!ble_api_load_bluez(c.options.adapter, error)) {
    failure = command_failure{"library_unusable",
                              (instead_of.empty() ? "" : "no BLE library (" + instead_of + "), ") +
                                  "cannot use BlueZ: " + error,
                              exit_status::library_unusable};
    return false;
  }
  return true;
}

// Loaded once per process: the library's threads read the table while they
// run, so it is never filled again under them.
bool load_library(const context& c, command_failure& failure) {
  static std::string loaded;
  if (c.options.ble_library == BLUEZ_LIBRARY_NAME) {
    loaded.clear();
    return load_bluez(c, failure, "");
  }
  const bool chosen = !c.options.ble_library.empty();
  const std::string file = chosen ? c.options.ble_library : default_library();
  if (!loaded.empty() && loaded == file) return true;
  std::string error, reason;
  if (!ble_api_load(file.c_str(), error, &reason)) {
    // A Linux station without any library is served by BlueZ itself.
    if (!chosen && bluez_backend_supported() && library_absent(reason)) {
      trace_printf("%s not found (%s): using BlueZ\n", file.c_str(), reason.c_str());
      return load_bluez(c, failure, file + " not found");
    }
    // The loader's reason says what is wrong with this very file.
    const std::string why = reason.empty() ? error : reason;
    failure = command_failure{"library_unusable", "cannot use the BLE library " + file + ": " + why,
                              exit_status::library_unusable};
    return false;
  }
  loaded = file;
  return true;
}

std::string row_line(const device_row& row) {
  char head[64];
  snprintf(head, sizeof head, "%-17s  %-11s  ", row.mac.c_str(), device_result_name(row.result));
  std::string line = head;
  char detail[128];
  switch (row.result) {
    case device_result::ok:
      snprintf(detail, sizeof detail, "%llu bytes in %.3f s, %.1f kB/s",
               static_cast<unsigned long long>(row.bytes), row.seconds,
               row.bytes_per_second / 1000.0);
      line += detail;
      break;
    case device_result::skipped:
      line += "Firmware Revision " + printable(row.revision_before);
      break;
    default:
      line += row.error;
      if (!row.detail.empty()) line += ": " + printable(row.detail);
      break;
  }
  if (row.attempts > 1) line += ", " + std::to_string(row.attempts) + " attempts";
  if (!row.name.empty()) line += "  \"" + printable(row.name) + "\"";
  return line;
}

exit_status run_scan(const context& c) {
  c.display.message("Scanning for " + std::to_string(c.options.seconds) + " s");
  const std::vector<seen_device> devices = scan_devices(c.options.seconds);
  if (c.options.json) {
    json list = json::array();
    for (const seen_device& device : devices)
      list.push_back(
          {{"mac", device.mac}, {"name", text_or_null(device.name)}, {"rssi", device.rssi}});
    c.streams.out << json_text(json{{"devices", list}});
  } else {
    for (const seen_device& device : devices) {
      char line[64];
      snprintf(line, sizeof line, "%-17s  %4d dBm  ", printable(device.mac).c_str(), device.rssi);
      c.streams.out << line << printable(device.name) << '\n';
    }
  }
  c.streams.out.flush();
  c.display.message(std::to_string(devices.size()) + " device(s) seen");
  return interrupted() ? exit_status::interrupted : exit_status::done;
}

// A query's text reply, cut at its first zero; nothing when it failed.
std::optional<std::string> fw_stamp(int (*query)(uint8_t*, uint8_t)) {
  uint8_t answer[FW_STAMP_CAPACITY + 1] = {};
  if (query(answer, FW_STAMP_CAPACITY) != 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(answer));
}

json optional_text(const std::optional<std::string>& text) {
  return text ? text_or_null(*text) : json();
}

// The queries a device refused, by name and command code.
std::string refused_queries(bool version_read, bool date_read, bool time_read) {
  std::string refused;
  const auto add = [&](bool read, const char* what) {
    if (read) return;
    if (!refused.empty()) refused += ", ";
    refused += what;
  };
  add(version_read, "the firmware version (0x0000)");
  add(date_read, "the firmware date (0x0001)");
  add(time_read, "the firmware time (0x0002)");
  return refused;
}

// What info learnt of a device; a query's field is empty when it was not
// answered (or not asked).
struct info_result {
  std::string mac;
  device_information information;
  std::optional<std::string> version;
  uint16_t supported_commands = 0;
  std::optional<std::string> date, time;
};

void print_info(const context& c, const info_result& info, const json& error) {
  if (c.options.json) {
    json document;
    document["mac"] = info.mac;
    document["firmware_revision"] = text_or_null(info.information.firmware_revision);
    document["manufacturer"] = text_or_null(info.information.manufacturer);
    document["model_number"] = text_or_null(info.information.model_number);
    document["serial_number"] = text_or_null(info.information.serial_number);
    document["version"] = optional_text(info.version);
    document["supported_commands"] = info.version ? json(info.supported_commands) : json();
    document["firmware_date"] = optional_text(info.date);
    document["firmware_time"] = optional_text(info.time);
    if (!error.is_null()) document["error"] = error;
    c.streams.out << json_text(document);
  } else {
    const std::string unknown = "(the device did not answer)";
    char commands[32];
    snprintf(commands, sizeof commands, "0x%04X", unsigned{info.supported_commands});
    c.streams.out << "MAC:                " << printable(info.mac) << '\n'
                  << "Firmware Revision:  " << printable(info.information.firmware_revision) << '\n'
                  << "Manufacturer:       " << printable(info.information.manufacturer) << '\n'
                  << "Model Number:       " << printable(info.information.model_number) << '\n'
                  << "Serial Number:      " << printable(info.information.serial_number) << '\n'
                  << "Version:            " << info.version.value_or(unknown) << '\n'
                  << "Supported commands: " << (info.version ? commands : unknown) << '\n'
                  << "Firmware date:      " << printable(info.date.value_or(unknown)) << '\n'
                  << "Firmware time:      " << printable(info.time.value_or(unknown)) << '\n';
  }
  c.streams.out.flush();
}

// Interrupted: what was learnt so far, as every command prints its document.
exit_status info_interrupted(const context& c, const info_result& info) {
  if (c.options.json)
    print_info(c, info, json{{"code", "interrupted"}, {"message", "interrupted"}});
  return exit_status::interrupted;
}

exit_status run_info(const context& c) {
  const std::string& mac = c.options.mac;
  info_result info;
  info.mac = mac_key(mac);
  c.display.message(info.mac + ": searching (up to " + std::to_string(c.options.seconds) + " s)");
  const std::optional<seen_device> found = find_device(mac, c.options.seconds);
  if (interrupted()) return info_interrupted(c, info);
  if (!found) {
    return fail(c, command_failure{"not_found",
                                   info.mac + " was not seen within " +
                                       std::to_string(c.options.seconds) + " s",
                                   exit_status::not_reached});
  }
  info.mac = found->mac;
  device_connection link;
  c.display.message(found->mac + ": connecting");
  const connect_result connected = link.open(found->mac);
  if (interrupted() && connected != connect_result::ready) return info_interrupted(c, info);
  if (connected != connect_result::ready) {
    return fail(c, command_failure{connect_failure_code(connected),
                                   found->mac + ": " + connect_failure_text(connected),
                                   exit_status::not_reached});
  }
  info.information = last_device_information();
  if (interrupted()) {
    link.release();
    return info_interrupted(c, info);
  }
  fw_version version;
  if (get_version(&version) == 0) {
    char text[16];
    snprintf(text, sizeof text, "%u.%02u", unsigned{version.major}, unsigned{version.minor});
    info.version = text;
    info.supported_commands = version.supported_commands;
  }
  info.date = fw_stamp(get_fw_date);
  info.time = fw_stamp(get_fw_time);
  link.release();

  const std::string refused =
      refused_queries(info.version.has_value(), info.date.has_value(), info.time.has_value());
  print_info(c, info,
             refused.empty()
                 ? json()
                 : json{{"code", "query_refused"}, {"message", "the device refused " + refused}});
  if (interrupted()) return exit_status::interrupted;
  if (!refused.empty()) {
    c.display.error("tavren-update: " + found->mac + " refused " + refused, "query_refused");
    return exit_status::device_failed;
  }
  return exit_status::done;
}

exit_status update_status(const device_run& run) {
  switch (run.row.result) {
    case device_result::ok:
      return exit_status::done;
    case device_result::interrupted:
      return exit_status::interrupted;
    case device_result::not_found:
      return exit_status::not_reached;
    default:
      break;
  }
  switch (run.stage) {
    case failure_stage::search:
    case failure_stage::connection:
      return exit_status::not_reached;
    case failure_stage::image:
      return exit_status::bad_input;
    default:
      return exit_status::device_failed;
  }
}

exit_status run_update(const context& c, const image_facts& image) {
  device_job job;
  job.mac = c.options.mac;
  job.image = c.options.image;
  job.expected = image.expectation();
  job.seconds = c.options.seconds;
  job.retries = c.options.retries;
  job.expect_revision = c.options.expect_revision;
  job.verify_seconds = c.options.verify_seconds;
  const device_run run = run_device_job(job, c.display);
  const exit_status status = update_status(run);
  if (status != exit_status::done && status != exit_status::interrupted) {
    c.display.error("tavren-update: " + run.row.mac + ": " + printable(run.row.error) +
                        (run.row.detail.empty() ? "" : ": " + printable(run.row.detail)),
                    run.row.error_code);
  }
  if (c.options.json) {
    json document;
    document["mac"] = run.row.mac;
    document["image"] = c.options.image;
    document["bytes"] = image.bytes;
    document["crc32"] = crc32_text(image.crc32);
    const json row = row_json(run.row);
    for (const char* key : {"name", "revision_before", "revision_after", "result", "error",
                            "error_code", "detail", "attempts", "seconds", "bytes_per_second"})
      document[key] = row[key];
    c.streams.out << json_text(document);
  } else {
    c.streams.out << row_line(run.row) << '\n';
  }
  c.streams.out.flush();
  return status;
}

exit_status run_batch(const context& c, batch_run& batch) {
  console_fleet_output output(c.streams.err_takes_cursor_movement);
  const batch_outcome outcome = batch.run(c.display, output);
  // Whatever happened to the report file, the results are not lost.
  if (c.options.json) {
    c.streams.out << json_text(report_json(outcome.report));
  } else {
    for (const device_row& row : outcome.report.rows) c.streams.out << row_line(row) << '\n';
  }
  c.streams.out.flush();
  return outcome.status;
}

// Where the line keeps its record when none is named: beside the station's
// other files, in the folder it runs in.
constexpr const char* LINE_RECORD_DEFAULT = "line-record.ndjson";

std::string station_of(const cli_options& options) {
  if (!options.station.empty()) return options.station;
  const std::string host = os_host_name();
  return host.empty() ? std::string("station") : host;
}

// The station's own file for results a shared record could not take yet:
// one per station, so that several on one computer keep theirs apart.
std::string spool_path_of(const std::string& station) {
  std::string name = "line-spool-";
  for (char c : station)
    name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
  return name + ".ndjson";
}

// The record a station writes: a shared one keeps what it cannot take yet
// in the station's own file.
std::unique_ptr<record_store> open_station_record(const context& c, const std::string& where,
                                                  command_failure& failure) {
  std::string error, warning;
  exit_status status = exit_status::bad_input;
  std::unique_ptr<record_store> store =
      open_record_store(where, store_use::station, error, warning, status);
  if (!store) {
    failure = failure_of("record_unusable", error, status);
    return nullptr;
  }
  if (!warning.empty()) c.display.error("tavren-update: warning: " + warning, "record_line_cut");
  if (!names_shared_record(where)) return store;
  console_display& display = c.display;
  std::unique_ptr<spooled_store> spooled = spooled_store::open(
      std::move(store), spool_path_of(station_of(c.options)),
      [&display](const std::string& text) {
        display.error("tavren-update: " + text, "record_away");
      },
      error);
  if (!spooled) {
    failure = failure_of("record_unusable", error);
    return nullptr;
  }
  return spooled;
}

line_options line_options_of(const context& c) {
  const cli_options& options = c.options;
  line_options line;
  line.image = options.image;
  line.devices_file = options.devices_file;
  line.name_prefix = options.name_prefix;
  line.expect_revision = options.expect_revision.value_or("");
  line.model = options.model;
  line.parallel = options.parallel;
  line.attempts = options.attempts;
  line.station = station_of(options);
  line.until_idle_seconds = options.until_idle;
  line.count = options.count;
  line.verify_seconds = options.verify_seconds;
  return line;
}

exit_status run_line(const context& c, line_run& line, record_store& store) {
  console_fleet_output output(c.streams.err_takes_cursor_movement);
  const line_outcome outcome = line.run(store, c.display, output);
  if (c.options.json) {
    campaign_entry entry;
    entry.facts.image_name = file_name_of(c.options.image);
    entry.facts.image_bytes = line.image().bytes;
    entry.facts.image_crc32 = line.image().crc32;
    entry.facts.expected_revision = c.options.expect_revision.value_or("");
    entry.facts.model = c.options.model.value_or("");
    entry.key = campaign_key(entry.facts);
    json document = record_json(entry, outcome.record);
    document["station"] = line.station();
    document["record_read"] = outcome.record_read;
    c.streams.out << json_text(document);
    c.streams.out.flush();
  }
  return outcome.status;
}

// The campaign `record show` shows: the latest, or the latest of the image.
exit_status run_record_show(const context& c) {
  std::string error, warning;
  exit_status status = exit_status::bad_input;
  const std::unique_ptr<record_store> store =
      open_record_store(c.options.record, store_use::reading, error, warning, status);
  if (!store) return fail(c, failure_of("record_unusable", error, status));
  if (!warning.empty()) c.display.error("tavren-update: warning: " + warning, "record_line_cut");
  std::vector<campaign_entry> campaigns;
  if (store->campaigns(campaigns, error) != store_status::ok)
    return fail(c, failure_of("record_unusable", store->where() + ": " + error));
  if (!c.options.image.empty()) {
    image_facts image;
    std::string code, reason;
    if (!inspect_image(c.options.image, image, code, reason))
      return fail(c, command_failure{code, c.options.image + ": " + reason});
    campaigns.erase(std::remove_if(campaigns.begin(), campaigns.end(),
                                   [&](const campaign_entry& entry) {
                                     return entry.facts.image_bytes != image.bytes ||
                                            entry.facts.image_crc32 != image.crc32;
                                   }),
                    campaigns.end());
  }
  if (campaigns.empty()) {
    return fail(c, failure_of("no_campaign",
                              store->where() + " holds no campaign" +
                                  (c.options.image.empty() ? "" : " of " + c.options.image)));
  }
  const campaign_entry& shown = campaigns.back();
  std::vector<record_row> rows;
  if (store->open_campaign(shown.facts, false, error) != store_status::ok ||
      store->read(rows, error) != store_status::ok)
    return fail(c, failure_of("record_unusable", store->where() + ": " + error));
  if (c.options.json) {
    c.streams.out << json_text(record_json(shown, rows));
  } else if (c.options.csv) {
    c.streams.out << record_csv(shown, rows);
  } else {
    for (const record_row& record : rows) {
      device_row row = record.row;
      row.attempts = static_cast<int>(record.history.size());
      char state[24];
      snprintf(state, sizeof state, "%-17s  ", record_state_name(record.state));
      std::string line = row_line(row);
      line.replace(19, 13, state);
      c.streams.out << line << (record.station.empty() ? "" : "  at " + printable(record.station))
                    << '\n';
    }
  }
  c.streams.out.flush();
  return exit_status::done;
}

batch_options batch_options_of(const context& c) {
  const cli_options& options = c.options;
  batch_options batch;
  batch.parallel = options.parallel;
  batch.image = options.image;
  batch.devices_file = options.devices_file;
  batch.name_prefix = options.name_prefix;
  batch.report_path = options.report;
  batch.resume_path = options.resume;
  batch.retries = options.retries;
  batch.skip_if_revision = options.skip_if_revision;
  batch.expect_revision = options.expect_revision;
  batch.verify_seconds = options.verify_seconds;
  batch.seconds = options.seconds;
  return batch;
}

// Inputs first, then the library, then the report, then the radio: a
// mistake costs no search and no connection, and an earlier report is
// replaced only once everything else is known to be in order.
exit_status run_command(const context& c) {
  const command_kind command = c.options.command;
  if (command == command_kind::record_show) return run_record_show(c);
  image_facts image;
  batch_run batch(batch_options_of(c));
  line_run line(line_options_of(c));
  command_failure failure;
  if (command == command_kind::update) {
    std::string code, reason;
    if (!inspect_image(c.options.image, image, code, reason))
      return fail(c, command_failure{code, c.options.image + ": " + reason});
  }
  if (command == command_kind::batch && !batch.prepare(failure)) return fail(c, failure);
  if (command == command_kind::line && !line.prepare(failure)) return fail(c, failure);
  if (!load_library(c, failure)) return fail(c, failure);
  if (command == command_kind::batch && !batch.open_report(failure)) return fail(c, failure);
  std::unique_ptr<record_store> record;
  if (command == command_kind::line ||
      (command == command_kind::batch && !c.options.record.empty())) {
    const std::string where = c.options.record.empty() ? LINE_RECORD_DEFAULT : c.options.record;
    if (c.options.record.empty()) c.display.message("The line's record: " + where);
    record = open_station_record(c, where, failure);
    if (!record) return fail(c, failure);
    const bool opened = command == command_kind::line
                            ? line.open_campaign(*record, failure)
                            : batch.claim_in(*record, station_of(c.options), failure);
    if (!opened) return fail(c, failure);
  }
  switch (command) {
    case command_kind::scan:
      return run_scan(c);
    case command_kind::info:
      return run_info(c);
    case command_kind::update:
      return run_update(c, image);
    case command_kind::line:
      return run_line(c, line, *record);
    default:
      return run_batch(c, batch);
  }
}

void trace_to_console(const char* text, size_t length) {
  console_output::instance().trace(text, length);
}

// How standard error is used: chosen by --progress, and for text by what
// the stream is.
progress_style style_of(const cli_options& options, const cli_streams& streams) {
  if (options.progress == progress_format::json) return progress_style::json;
  if (options.quiet || options.progress == progress_format::none) return progress_style::none;
  return streams.err_is_terminal && !options.verbose ? progress_style::in_place
                                                     : progress_style::lines;
}

}  // namespace

int cli_main(int argc, char** argv, const cli_streams& streams) {
  // Standard error or output closed under us (a pipe into `head`) ends
  // what it shows, never the command: its report is still written.
  os_ignore_broken_pipe();
  cli_options options;
  int status = 0;
  std::string usage_error;
  // A program reading a JSON stream on standard error gets its usage error
  // as an event, not as the parser's text.
  const bool json_progress = asks_for_json_progress(argc, argv);
  std::ostringstream parser_text;
  std::ostream& parser_err = json_progress ? parser_text : streams.err;
  if (!parse_options(argc, argv, streams.out, parser_err, options, status, usage_error)) {
    if (usage_error.empty()) return status;
    json document;
    document["error"] = {{"code", "bad_usage"}, {"message", usage_error}};
    if (asks_for_json(argc, argv)) {
      streams.out << json_text(document);
      streams.out.flush();
    }
    if (json_progress) {
      streams.err << json_line(json{
          {"event", "error"}, {"mac", nullptr}, {"code", "bad_usage"}, {"message", usage_error}});
      streams.err.flush();
    }
    return status;
  }

  console_display& display = console_display::instance();
  const progress_style style = style_of(options, streams);
  display.attach(streams.err, style, options.quiet);
  // Standard output carries the results: the trace goes beside the
  // progress, through the console that owns standard error, and only when
  // asked for.
  trace_set_stream(nullptr);
  trace_set_sink(options.verbose ? trace_to_console : nullptr);
  catch_interruptions(!options.quiet, options.command == command_kind::scan
                                          ? interrupted_work::scan
                                          : interrupted_work::device);
  const exit_status result = run_command(context{options, streams, display});
  stop_catching_interruptions();
  trace_set_sink(nullptr);
  display.detach();
  return static_cast<int>(result);
}
