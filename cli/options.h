// The command line as people type it (CLI11).
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

enum class command_kind { scan, info, update, batch, line, record_show };

// What standard error carries: lines for a person (text), one JSON object
// a line for a program (json), or nothing but errors about the progress
// (none).
enum class progress_format { text, json, none };

struct cli_options {
  command_kind command = command_kind::scan;
  std::string mac;
  std::string image;
  uint32_t seconds = 30;
  int retries = 1;
  bool json = false;
  std::string devices_file;
  std::optional<std::string> name_prefix;
  std::string report;
  std::string resume;
  std::optional<std::string> skip_if_revision;
  std::optional<std::string> expect_revision;
  uint32_t verify_seconds = 90;
  progress_format progress = progress_format::text;
  int parallel = 1;
  // The line's, and a batch's shared record.
  std::string record;   // empty: none for a batch; the line's default file for a line
  std::string station;  // empty: this computer's name
  std::optional<std::string> model;
  int attempts = 3;
  uint32_t until_idle = 0;
  uint32_t count = 0;
  bool csv = false;  // record show
  std::string ble_library;
  std::string adapter;  // BlueZ's adapter ("hci0"); empty: the first powered on
  bool verbose = false;
  bool quiet = false;
};

// False when there is no command to run: help or the version was asked for
// (printed on `out`, status 0), or the command line is wrong (said on
// `err`, status 2, and in `usage_error`). `status` holds which.
bool parse_options(int argc, char** argv, std::ostream& out, std::ostream& err,
                   cli_options& options, int& status, std::string& usage_error);

// Whether the words ask for JSON results, or a JSON progress stream, looked
// for before they are parsed: a command line too wrong to parse still
// answers a script in JSON.
bool asks_for_json(int argc, char** argv);
bool asks_for_json_progress(int argc, char** argv);
