// The four commands and what each says on standard output.
#include <cstdio>
#include <string>

#include "ble/ble_api.h"
#include "cli/batch.h"
#include "cli/cli.h"
#include "cli/console_display.h"
#include "cli/device_session.h"
#include "cli/image_file.h"
#include "cli/interruption.h"
#include "cli/mac_address.h"
#include "cli/options.h"
#include "cli/report.h"
#include "device/command_channel.h"
#include "device/device_state.h"
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

std::string hex32(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
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

// Loaded once per process: the library's threads read the table while they
// run, so it is never filled again under them.
exit_status load_library(const context& c) {
  static std::string loaded;
  const std::string file =
      c.options.ble_library.empty() ? default_library() : c.options.ble_library;
  if (!loaded.empty() && loaded == file) return exit_status::done;
  std::string error;
  if (!ble_api_load(file.c_str(), error)) {
    c.display.error("tavren-update: cannot use the BLE library " + file + ": " + error);
    return exit_status::library_unusable;
  }
  loaded = file;
  return exit_status::done;
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
      line += "Firmware Revision " + row.revision_before;
      break;
    default:
      line += row.error;
      break;
  }
  if (row.attempts > 1) line += ", " + std::to_string(row.attempts) + " attempts";
  if (!row.name.empty()) line += "  \"" + row.name + "\"";
  return line;
}

exit_status run_scan(const context& c) {
  c.display.message("Scanning for " + std::to_string(c.options.seconds) + " s");
  const std::vector<seen_device> devices = scan_devices(c.options.seconds);
  if (c.options.json) {
    json list = json::array();
    for (const seen_device& device : devices)
      list.push_back({{"mac", device.mac}, {"name", device.name}, {"rssi", device.rssi}});
    c.streams.out << json_text(json{{"devices", list}});
  } else {
    for (const seen_device& device : devices) {
      char line[64];
      snprintf(line, sizeof line, "%-17s  %4d dBm  ", device.mac.c_str(), device.rssi);
      c.streams.out << line << device.name << '\n';
    }
  }
  c.streams.out.flush();
  c.display.message(std::to_string(devices.size()) + " device(s) seen");
  return interrupted() ? exit_status::interrupted : exit_status::done;
}

// A query's text reply, cut at its first zero; empty when it failed.
std::optional<std::string> fw_stamp(int (*query)(uint8_t*, uint8_t)) {
  uint8_t answer[FW_STAMP_CAPACITY + 1] = {};
  if (query(answer, FW_STAMP_CAPACITY) != 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(answer));
}

json text_or_null(const std::optional<std::string>& text) {
  return text ? json(*text) : json();
}

exit_status run_info(const context& c) {
  const std::string& mac = c.options.mac;
  c.display.message(mac_key(mac) + ": searching (up to " + std::to_string(c.options.seconds) +
                    " s)");
  const std::optional<seen_device> found = find_device(mac, c.options.seconds);
  if (interrupted()) return exit_status::interrupted;
  if (!found) {
    c.display.error("tavren-update: " + mac + " was not seen within " +
                    std::to_string(c.options.seconds) + " s");
    return exit_status::not_reached;
  }
  device_connection link;
  c.display.message(found->mac + ": connecting");
  const connect_result connected = link.open(found->mac);
  if (connected != connect_result::ready) {
    c.display.error("tavren-update: " + found->mac + ": " + connect_failure_text(connected));
    return exit_status::not_reached;
  }
  if (interrupted()) return exit_status::interrupted;
  const device_information information = last_device_information();
  fw_version version;
  const bool version_read = get_version(&version) == 0;
  const std::optional<std::string> date = fw_stamp(get_fw_date);
  const std::optional<std::string> time = fw_stamp(get_fw_time);
  link.release();

  std::optional<std::string> version_text;
  if (version_read) {
    char text[16];
    snprintf(text, sizeof text, "%u.%02u", unsigned{version.major}, unsigned{version.minor});
    version_text = text;
  }
  if (c.options.json) {
    json document;
    document["mac"] = found->mac;
    document["firmware_revision"] = information.firmware_revision;
    document["manufacturer"] = information.manufacturer;
    document["model_number"] = information.model_number;
    document["serial_number"] = information.serial_number;
    document["version"] = text_or_null(version_text);
    document["supported_commands"] = version_read ? json(version.supported_commands) : json();
    document["firmware_date"] = text_or_null(date);
    document["firmware_time"] = text_or_null(time);
    c.streams.out << json_text(document);
  } else {
    const std::string unknown = "(the device did not answer)";
    char commands[32];
    snprintf(commands, sizeof commands, "0x%04X", unsigned{version.supported_commands});
    c.streams.out << "MAC:                " << found->mac << '\n'
                  << "Firmware Revision:  " << information.firmware_revision << '\n'
                  << "Manufacturer:       " << information.manufacturer << '\n'
                  << "Model Number:       " << information.model_number << '\n'
                  << "Serial Number:      " << information.serial_number << '\n'
                  << "Version:            " << version_text.value_or(unknown) << '\n'
                  << "Supported commands: " << (version_read ? commands : unknown) << '\n'
                  << "Firmware date:      " << date.value_or(unknown) << '\n'
                  << "Firmware time:      " << time.value_or(unknown) << '\n';
  }
  c.streams.out.flush();
  if (interrupted()) return exit_status::interrupted;
  if (!version_read || !date || !time) {
    c.display.error("tavren-update: " + found->mac + " refused a query");
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
  job.seconds = c.options.seconds;
  job.retries = c.options.retries;
  const device_run run = run_device_job(job, c.display);
  const exit_status status = update_status(run);
  if (status != exit_status::done && status != exit_status::interrupted)
    c.display.error("tavren-update: " + run.row.mac + ": " + run.row.error);
  if (c.options.json) {
    json document;
    document["mac"] = run.row.mac;
    document["image"] = c.options.image;
    document["bytes"] = image.bytes;
    document["crc32"] = hex32(image.crc32);
    const json row = row_json(run.row);
    for (const char* key : {"result", "error", "attempts", "seconds", "bytes_per_second"})
      document[key] = row[key];
    c.streams.out << json_text(document);
  } else {
    c.streams.out << row_line(run.row) << '\n';
  }
  c.streams.out.flush();
  return status;
}

exit_status run_batch(const context& c, batch_run& batch) {
  const batch_outcome outcome = batch.run(c.display);
  if (c.options.json) {
    c.streams.out << json_text(report_json(outcome.report));
  } else {
    for (const device_row& row : outcome.report.rows) c.streams.out << row_line(row) << '\n';
  }
  c.streams.out.flush();
  return outcome.status;
}

batch_options batch_options_of(const cli_options& options) {
  batch_options batch;
  batch.image = options.image;
  batch.devices_file = options.devices_file;
  batch.name_prefix = options.name_prefix;
  batch.report_path = options.report;
  batch.resume_path = options.resume;
  batch.retries = options.retries;
  batch.skip_if_revision = options.skip_if_revision;
  batch.seconds = options.seconds;
  return batch;
}

// Inputs first, then the library, then the radio: a mistake in the command
// line costs no search and no connection.
exit_status run_command(const context& c) {
  image_facts image;
  batch_run batch(batch_options_of(c.options));
  std::string reason;
  if (c.options.command == command_kind::update && !inspect_image(c.options.image, image, reason)) {
    c.display.error("tavren-update: " + c.options.image + ": " + reason);
    return exit_status::bad_input;
  }
  if (c.options.command == command_kind::batch && !batch.prepare(reason)) {
    c.display.error("tavren-update: " + reason);
    return exit_status::bad_input;
  }
  const exit_status loaded = load_library(c);
  if (loaded != exit_status::done) return loaded;
  switch (c.options.command) {
    case command_kind::scan:
      return run_scan(c);
    case command_kind::info:
      return run_info(c);
    case command_kind::update:
      return run_update(c, image);
    default:
      return run_batch(c, batch);
  }
}

}  // namespace

int cli_main(int argc, char** argv, const cli_streams& streams) {
  cli_options options;
  int status = 0;
  if (!parse_options(argc, argv, streams.out, streams.err, options, status)) return status;

  console_display& display = console_display::instance();
  const progress_style style = options.quiet ? progress_style::none
                               : streams.err_is_terminal && !options.verbose
                                   ? progress_style::in_place
                                   : progress_style::lines;
  display.attach(streams.err, style, options.quiet);
  // Standard output carries the results: the trace goes beside the
  // progress, and only when asked for.
  trace_set_stream(options.verbose ? streams.trace : nullptr);
  catch_interruptions(!options.quiet);
  const exit_status result = run_command(context{options, streams, display});
  stop_catching_interruptions();
  display.detach();
  return static_cast<int>(result);
}
