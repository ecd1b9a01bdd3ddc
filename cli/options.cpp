#include "cli/options.h"

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/mac_address.h"

namespace {

constexpr uint32_t SECONDS_MAX = 24 * 3600;
constexpr int RETRIES_MAX = 100;

const CLI::Validator MAC_ADDRESS(
    [](std::string& text) {
      return is_mac_address(text) ? std::string()
                                  : "\"" + text + "\" is not a MAC address (XX:XX:XX:XX:XX:XX)";
    },
    "MAC");

void add_seconds(CLI::App& command, cli_options& options, const char* what) {
  command.add_option("--seconds", options.seconds, what)
      ->type_name("N")
      ->check(CLI::Range(1u, SECONDS_MAX));
}

void add_json(CLI::App& command, cli_options& options) {
  command.add_flag("--json", options.json, "One JSON document on standard output");
}

void add_retries(CLI::App& command, cli_options& options) {
  command
      .add_option("--retries", options.retries,
                  "Tries again on a fresh connection after a failure once connected")
      ->type_name("N")
      ->check(CLI::Range(0, RETRIES_MAX));
}

}  // namespace

bool parse_options(int argc, char** argv, std::ostream& out, std::ostream& err,
                   cli_options& options, int& status) {
  CLI::App app("Updates the firmware of TAVREN devices over Bluetooth Low Energy.",
               "tavren-update");
  app.set_version_flag("--version", TAVREN_UPDATE_VERSION);
  app.require_subcommand(1);
  // Common options may also follow the command.
  app.fallthrough();
  app.add_option("--ble-library", options.ble_library,
                 "The BLE library file (default: the one the window program loads)")
      ->type_name("PATH");
  CLI::Option* verbose =
      app.add_flag("--verbose", options.verbose, "The program's trace on standard error");
  app.add_flag("--quiet", options.quiet, "Nothing on standard error but errors")->excludes(verbose);

  CLI::App* scan = app.add_subcommand("scan", "Lists the devices in range");
  add_seconds(*scan, options, "How long to scan (default 30)");
  add_json(*scan, options);

  CLI::App* info = app.add_subcommand("info", "Shows what a device tells about itself");
  info->add_option("MAC", options.mac, "The device")->required()->check(MAC_ADDRESS);
  add_seconds(*info, options, "Bound of the search for the device (default 30)");
  add_json(*info, options);

  CLI::App* update = app.add_subcommand("update", "Sends a firmware image to a device");
  update->add_option("MAC", options.mac, "The device")->required()->check(MAC_ADDRESS);
  update->add_option("IMAGE", options.image, "The firmware image (.bin)")->required();
  add_seconds(*update, options, "Bound of the search for the device (default 30)");
  add_retries(*update, options);
  add_json(*update, options);

  CLI::App* batch = app.add_subcommand("batch", "Sends a firmware image to many devices in turn");
  batch->add_option("IMAGE", options.image, "The firmware image (.bin)")->required();
  CLI::Option* devices =
      batch
          ->add_option("--devices", options.devices_file, "The devices: one MAC a line, # comments")
          ->type_name("FILE");
  CLI::Option* prefix = batch
                            ->add_option("--name-prefix", options.name_prefix,
                                         "Every device seen whose name starts so")
                            ->type_name("TEXT");
  devices->excludes(prefix);
  batch
      ->add_option("--report", options.report,
                   "The report, rewritten after every device (CSV when named *.csv, else JSON)")
      ->type_name("FILE");
  batch->add_option("--resume", options.resume, "Passes over the devices ok in this earlier report")
      ->type_name("REPORT");
  std::string skip_revision;
  CLI::Option* skip =
      batch
          ->add_option("--skip-if-revision", skip_revision,
                       "Leaves a device whose Firmware Revision reads this as it is")
          ->type_name("TEXT");
  add_retries(*batch, options);
  add_seconds(
      *batch, options,
      "Bound of the search for each device, and of the scan for --name-prefix (default 30)");
  add_json(*batch, options);

  try {
    app.parse(argc, argv);
    if (batch->parsed() && !*devices && !*prefix)
      throw CLI::RequiredError("--devices or --name-prefix");
  } catch (const CLI::ParseError& error) {
    // Help and the version end the command well; anything else is usage.
    status = app.exit(error, out, err) == 0 ? static_cast<int>(exit_status::done)
                                            : static_cast<int>(exit_status::bad_input);
    return false;
  }
  if (*skip) options.skip_if_revision = skip_revision;
  options.command = scan->parsed()     ? command_kind::scan
                    : info->parsed()   ? command_kind::info
                    : update->parsed() ? command_kind::update
                                       : command_kind::batch;
  return true;
}
