#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <cstring>

#include "cli/cli.h"
#include "fleet/batch.h"
#include "fleet/mac_address.h"

namespace {

constexpr uint32_t SECONDS_MAX = 24 * 3600;
constexpr int RETRIES_MAX = 100;

const char* const FOOTER = R"(Options for every command (before or after it): --ble-library PATH,
--adapter hciN, --verbose, --quiet, --version, --help. "tavren-update help
COMMAND" explains a command. On Linux, "--ble-library bluez" uses BlueZ
directly; without --ble-library a libwarble.so the loader finds comes first,
else BlueZ.

Exit statuses:
  0    done
  1    the device refused, or the transfer failed (info: a query was refused)
  2    bad usage or input (an option, a MAC, the image, the device list, an
       earlier report, a report path or a record that cannot be used or is in
       use)
  3    the device was not found, or the connection or its service check failed
  4    the BLE library (or, for a PostgreSQL record, libpq) is missing or
       unusable
  5    a batch or a line ended with at least one device not updated
  6    the batch report could not be written, or the line's record kept
  130  interrupted (Ctrl+C, a termination request, the terminal hung up)

Examples:
  tavren-update update C4:7C:8D:6A:3E:01 fw-1.06.bin
  tavren-update batch fw-1.06.bin --devices bench.txt --skip-if-revision 1.06 \
      --resume bench.csv --report bench.csv
  tavren-update line fw-1.06.bin --name-prefix "TAVREN RD" --expect-revision 1.06 \
      --parallel 8 --record postgresql://line@db.plant/line
  tavren-update record show line-record.ndjson --csv)";

const CLI::Validator MAC_ADDRESS(
    [](std::string& text) {
      return is_mac_address(text) ? std::string()
                                  : "\"" + text + "\" is not a MAC address (XX:XX:XX:XX:XX:XX)";
    },
    "MAC");

// Numbers are read as people write them: "010" is ten. (The parser would
// take a leading zero for an octal number, and 0x for a hexadecimal one.)
const CLI::Validator DECIMAL(
    [](std::string& text) {
      const bool negative = !text.empty() && text[0] == '-';
      const size_t first = negative ? 1 : 0;
      if (text.size() == first || text.size() > first + 9 ||
          text.find_first_not_of("0123456789", first) != std::string::npos)
        return "\"" + text + "\" is not a whole number";
      const size_t significant = text.find_first_not_of('0', first);
      const std::string digits = significant == std::string::npos ? "0" : text.substr(significant);
      text = (negative && digits != "0" ? "-" : "") + digits;
      return std::string();
    },
    "", "DECIMAL");

const CLI::Validator ADAPTER_NAME(
    [](std::string& text) {
      const bool named = text.size() > 3 && text.size() <= 6 && text.compare(0, 3, "hci") == 0 &&
                         text.find_first_not_of("0123456789", 3) == std::string::npos;
      return named ? std::string() : "\"" + text + "\" is not an adapter name (hci0, hci1, ...)";
    },
    "hciN");

const CLI::Validator NOT_EMPTY(
    [](std::string& text) {
      return text.empty() ? std::string("must not be empty (an unset shell variable?)")
                          : std::string();
    },
    "", "NOT_EMPTY");

// Its three words only (a parser's map would also take the numbers it maps
// them to, and show them in the help).
const CLI::Validator PROGRESS_FORMAT(
    [](std::string& text) {
      return text == "text" || text == "json" || text == "none"
                 ? std::string()
                 : "\"" + text + "\" is not one of text, json, none";
    },
    "", "PROGRESS_FORMAT");

progress_format progress_format_named(const std::string& name) {
  return name == "json"   ? progress_format::json
         : name == "none" ? progress_format::none
                          : progress_format::text;
}

constexpr const char* COMMANDS[] = {"scan", "info", "update", "batch", "line", "record", "help"};

// The first word that is neither an option nor an option's value: where the
// command goes. Empty when there is none.
std::string command_word(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!argv[i]) continue;
    const std::string word = argv[i];
    if (word.empty() || word[0] != '-') return word;
    // The common options that take a value, given as two words.
    if ((word == "--ble-library" || word == "--progress" || word == "--adapter") && i + 1 < argc)
      ++i;
  }
  return {};
}

bool known_command(const std::string& word) {
  for (const char* command : COMMANDS) {
    if (word == command) return true;
  }
  return false;
}

void add_seconds(CLI::App& command, cli_options& options, const char* what) {
  command.add_option("--seconds", options.seconds, what)
      ->type_name("N")
      ->transform(DECIMAL)
      ->check(CLI::Range(1u, SECONDS_MAX));
}

void add_json(CLI::App& command, cli_options& options) {
  command.add_flag("--json", options.json, "One JSON document on standard output");
}

// After the device accepted the image: wait for it to come back and read
// its Firmware Revision.
void add_verify(CLI::App& command, cli_options& options, std::string& expected,
                CLI::Option*& expect) {
  expect = command
               .add_option("--expect-revision", expected,
                           "After the update, waits for the device to come back on this "
                           "Firmware Revision")
               ->type_name("TEXT")
               ->check(NOT_EMPTY);
  command.add_option("--verify-seconds", options.verify_seconds, "Bound of that wait (default 90)")
      ->type_name("N")
      ->transform(DECIMAL)
      ->check(CLI::Range(1u, SECONDS_MAX))
      ->needs(expect);
}

void add_retries(CLI::App& command, cli_options& options) {
  command
      .add_option("--retries", options.retries,
                  "Tries again after a failed connection or transfer (default 1)")
      ->type_name("N")
      ->transform(DECIMAL)
      ->check(CLI::Range(0, RETRIES_MAX));
}

void add_record(CLI::App& command, cli_options& options, const char* what) {
  command.add_option("--record", options.record, what)->type_name("RECORD")->check(NOT_EMPTY);
  command
      .add_option("--station", options.station,
                  "This station's name in the record (default: the computer's name)")
      ->type_name("NAME")
      ->check(NOT_EMPTY);
}

// `tavren-update help [COMMAND]`: the help of the program or of a command.
// (The formatter is asked directly: the app's own help() would show the
// help of the command that was parsed, `help` itself.)
bool print_help(CLI::App& app, const std::string& topic, std::ostream& out, std::ostream& err) {
  if (topic.empty()) {
    out << app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal);
    return true;
  }
  for (CLI::App* command : app.get_subcommands({})) {
    if (command->get_name() == topic && topic != "help") {
      out << command->get_formatter()->make_help(command, app.get_name(),
                                                 CLI::AppFormatMode::Normal);
      return true;
    }
  }
  err << "tavren-update: no command \"" << topic
      << "\" (scan, info, update, batch, line, record)\n";
  return false;
}

}  // namespace

bool asks_for_json(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] && std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

bool asks_for_json_progress(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!argv[i]) continue;
    if (std::strcmp(argv[i], "--progress=json") == 0) return true;
    if (std::strcmp(argv[i], "--progress") == 0 && i + 1 < argc && argv[i + 1] &&
        std::strcmp(argv[i + 1], "json") == 0)
      return true;
  }
  return false;
}

bool parse_options(int argc, char** argv, std::ostream& out, std::ostream& err,
                   cli_options& options, int& status, std::string& usage_error) {
  CLI::App app("Updates the firmware of TAVREN devices over Bluetooth Low Energy.",
               "tavren-update");
  app.set_version_flag("--version", TAVREN_UPDATE_VERSION);
  app.require_subcommand(1);
  app.footer(FOOTER);
  // Common options may also follow the command.
  app.fallthrough();
  app.add_option("--ble-library", options.ble_library,
                 "The BLE library file, or bluez (default: the one the window program "
                 "loads; on Linux BlueZ when there is none)")
      ->type_name("PATH")
      ->check(NOT_EMPTY);
  app.add_option("--adapter", options.adapter,
                 "BlueZ's adapter (default: the first one switched on)")
      ->type_name("hciN")
      ->check(ADAPTER_NAME);
  CLI::Option* verbose =
      app.add_flag("--verbose", options.verbose, "The program's trace on standard error");
  app.add_flag("--quiet", options.quiet, "Nothing on standard error but errors")->excludes(verbose);
  std::string progress = "text";
  app.add_option("--progress", progress,
                 "Standard error: text (default), json (one JSON object a line), or none")
      ->type_name("text|json|none")
      ->check(PROGRESS_FORMAT);

  CLI::App* scan = app.add_subcommand("scan", "Lists the devices in range");
  add_seconds(*scan, options, "How long to scan (default 30)");
  add_json(*scan, options);

  CLI::App* info = app.add_subcommand("info", "Shows what a device tells about itself");
  info->add_option("MAC", options.mac, "The device")->required()->check(MAC_ADDRESS);
  add_seconds(*info, options, "Bound of the search for the device (default 30)");
  add_json(*info, options);

  CLI::App* update = app.add_subcommand("update", "Sends a firmware image to a device");
  update->add_option("MAC", options.mac, "The device")->required()->check(MAC_ADDRESS);
  update->add_option("IMAGE", options.image, "The firmware image (.bin)")
      ->required()
      ->check(NOT_EMPTY);
  add_seconds(*update, options, "Bound of each search for the device (default 30)");
  add_retries(*update, options);
  std::string update_expected;
  CLI::Option* update_expect = nullptr;
  add_verify(*update, options, update_expected, update_expect);
  add_json(*update, options);

  CLI::App* batch = app.add_subcommand("batch", "Sends a firmware image to many devices");
  batch->add_option("IMAGE", options.image, "The firmware image (.bin)")
      ->required()
      ->check(NOT_EMPTY);
  CLI::Option* devices =
      batch
          ->add_option("--devices", options.devices_file, "The devices: one MAC a line, # comments")
          ->type_name("FILE")
          ->check(NOT_EMPTY);
  std::string prefix_text;
  CLI::Option* prefix =
      batch->add_option("--name-prefix", prefix_text, "Every device seen whose name starts so")
          ->type_name("TEXT")
          ->check(NOT_EMPTY);
  devices->excludes(prefix);
  batch
      ->add_option("--report", options.report,
                   "The report, rewritten after every device (CSV when named *.csv, else JSON)")
      ->type_name("FILE")
      ->check(NOT_EMPTY);
  batch
      ->add_option("--resume", options.resume,
                   "Passes over the devices this earlier report of the same image shows ok")
      ->type_name("REPORT")
      ->check(NOT_EMPTY);
  std::string skip_revision;
  CLI::Option* skip =
      batch
          ->add_option("--skip-if-revision", skip_revision,
                       "Leaves a device whose Firmware Revision reads this as it is")
          ->type_name("TEXT")
          ->check(NOT_EMPTY);
  add_retries(*batch, options);
  std::string batch_expected;
  CLI::Option* batch_expect = nullptr;
  add_verify(*batch, options, batch_expected, batch_expect);
  add_seconds(*batch, options,
              "Bound of each search for a device, and of the scan for --name-prefix (default 30)");
  add_json(*batch, options);
  batch
      ->add_option("--parallel", options.parallel,
                   "Devices updated at once over the one adapter, 1 to 8 (default 1)")
      ->type_name("N")
      ->transform(DECIMAL)
      ->check(CLI::Range(1, PARALLEL_MAX));

  add_record(*batch, options,
             "Claims each device in this shared record first (a file, or "
             "postgresql://...): stations split a list between them");

  CLI::App* line = app.add_subcommand(
      "line", "Updates every device that turns up, for a production line's stations");
  line->add_option("IMAGE", options.image, "The firmware image (.bin)")
      ->required()
      ->check(NOT_EMPTY);
  std::string line_prefix_text;
  CLI::Option* line_devices =
      line->add_option("--devices", options.devices_file, "The devices: one MAC a line, # comments")
          ->type_name("FILE")
          ->check(NOT_EMPTY);
  CLI::Option* line_prefix =
      line->add_option("--name-prefix", line_prefix_text, "Every device seen whose name starts so")
          ->type_name("TEXT")
          ->check(NOT_EMPTY);
  line_devices->excludes(line_prefix);
  std::string line_expected;
  line->add_option("--expect-revision", line_expected,
                   "The Firmware Revision an updated device comes back on")
      ->type_name("TEXT")
      ->required()
      ->check(NOT_EMPTY);
  line->add_option("--verify-seconds", options.verify_seconds,
                   "How long to wait for a device to come back on it (default 90)")
      ->type_name("N")
      ->transform(DECIMAL)
      ->check(CLI::Range(1u, SECONDS_MAX));
  std::string model_text;
  CLI::Option* model =
      line->add_option("--model", model_text,
                       "Leaves a device whose Model Number reads otherwise alone (rejected)")
          ->type_name("TEXT")
          ->check(NOT_EMPTY);
  line->add_option("--parallel", options.parallel,
                   "Devices updated at once over the one adapter, 1 to 8 (default 1)")
      ->type_name("N")
      ->transform(DECIMAL)
      ->check(CLI::Range(1, PARALLEL_MAX));
  line->add_option("--attempts", options.attempts,
                   "Failed attempts at a device, every station's together, before it is left "
                   "failed (default 3)")
      ->type_name("N")
      ->transform(DECIMAL)
      ->check(CLI::Range(1, RETRIES_MAX));
  add_record(*line, options,
             "The line's record: a file (default line-record.ndjson here) or "
             "postgresql://... shared by every station");
  line->add_option("--until-idle", options.until_idle,
                   "Ends once this many seconds passed with nothing to do")
      ->type_name("SECONDS")
      ->transform(DECIMAL)
      ->check(CLI::Range(1u, SECONDS_MAX));
  line->add_option("--count", options.count, "Ends once this many devices were dealt with")
      ->type_name("N")
      ->transform(DECIMAL)
      ->check(CLI::Range(1u, 1000000u));
  add_json(*line, options);

  CLI::App* record = app.add_subcommand("record", "Shows a line's record");
  record->require_subcommand(1);
  CLI::App* show = record->add_subcommand("show", "The rows of a campaign of the record");
  show->add_option("RECORD", options.record, "The record: a file, or postgresql://...")
      ->required()
      ->check(NOT_EMPTY);
  CLI::Option* show_json = show->add_flag("--json", options.json, "One JSON document");
  show->add_flag("--csv", options.csv, "CSV, as a report")->excludes(show_json);
  show->add_option("--image", options.image, "The campaign of this image (default: the latest one)")
      ->type_name("IMAGE")
      ->check(NOT_EMPTY);

  CLI::App* help = app.add_subcommand("help", "Explains the program, or one command");
  std::string topic;
  help->add_option("COMMAND", topic, "The command to explain");

  const std::string word = command_word(argc, argv);
  if (!word.empty() && !known_command(word)) {
    usage_error = "no command \"" + word + "\" (scan, info, update, batch, line, record, help)";
    err << "tavren-update: " << usage_error << "\n";
    status = static_cast<int>(exit_status::bad_input);
    return false;
  }
  try {
    app.parse(argc, argv);
    if ((batch->parsed() && !*devices && !*prefix) ||
        (line->parsed() && !*line_devices && !*line_prefix))
      throw CLI::RequiredError("--devices or --name-prefix");
  } catch (const CLI::ParseError& error) {
    // Help and the version end the command well; anything else is usage.
    if (error.get_exit_code() != 0) usage_error = error.what();
    status = app.exit(error, out, err) == 0 ? static_cast<int>(exit_status::done)
                                            : static_cast<int>(exit_status::bad_input);
    return false;
  }
  if (help->parsed()) {
    const bool known = print_help(app, topic, out, err);
    status = static_cast<int>(known ? exit_status::done : exit_status::bad_input);
    if (!known) usage_error = "no command \"" + topic + "\"";
    return false;
  }
  options.progress = progress_format_named(progress);
  if (*skip) options.skip_if_revision = skip_revision;
  if (*update_expect) options.expect_revision = update_expected;
  if (*batch_expect) options.expect_revision = batch_expected;
  if (options.progress == progress_format::json && options.verbose) {
    usage_error = "--progress json keeps standard error for its events: leave out --verbose";
    err << "tavren-update: " << usage_error << "\n";
    status = static_cast<int>(exit_status::bad_input);
    return false;
  }
  if (*prefix) options.name_prefix = prefix_text;
  if (*line_prefix) options.name_prefix = line_prefix_text;
  if (line->parsed()) options.expect_revision = line_expected;
  if (*model) options.model = model_text;
  options.command = scan->parsed()     ? command_kind::scan
                    : info->parsed()   ? command_kind::info
                    : update->parsed() ? command_kind::update
                    : line->parsed()   ? command_kind::line
                    : show->parsed()   ? command_kind::record_show
                                       : command_kind::batch;
  return true;
}
