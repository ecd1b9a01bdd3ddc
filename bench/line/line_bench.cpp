// Figures for a production line, not a pass/fail test.
//
//   line_bench [--stations 3] [--devices 64] [--arrivals-ms 100] [--image-kib 8]
//              [--postgres URI] [--record-only]
//
// 1. What keeping the record costs per device, at 10, 100 and 1000 devices:
//    the line's local file and PostgreSQL (a claim and a result each),
//    beside the batch report, which is rewritten whole after every device.
//    Each figure is the mean over all devices and over the last tenth:
//    a cost that grows with the line shows in the second.
// 2. The line: S station processes (tavren-update line, 8 links each), each
//    with a stand-in world of its own holding the same devices, which turn
//    up one after another; they share one PostgreSQL record. Then one
//    station alone, on a campaign of its own. Devices per hour for each
//    station and for the line.
//
// PostgreSQL: the server named by --postgres, else a throwaway one started
// with scripts/pg_test_server.sh (as the tests do); without one the figures
// that need it are left out.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "fleet/file_store.h"
#include "fleet/record_store.h"
#include "fleet/report.h"
#include "fleet/report_file.h"

extern char** environ;

namespace {

using steady = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct settings {
  int stations = 3;
  int devices = 64;
  int arrivals_ms = 100;
  size_t image_bytes = 8 * 1024;
  std::string postgres;
  bool record_only = false;
};

bool parse(int argc, char** argv, settings& s) {
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (!strcmp(argv[i], "--stations") && has_value) {
      s.stations = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--devices") && has_value) {
      s.devices = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--arrivals-ms") && has_value) {
      s.arrivals_ms = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--image-kib") && has_value) {
      s.image_bytes = static_cast<size_t>(atoi(argv[++i])) * 1024;
    } else if (!strcmp(argv[i], "--postgres") && has_value) {
      s.postgres = argv[++i];
    } else if (!strcmp(argv[i], "--record-only")) {
      s.record_only = true;
    } else {
      return false;
    }
  }
  return s.stations >= 1 && s.stations <= 16 && s.devices >= 1 && s.devices <= 250 &&
         s.arrivals_ms >= 0 && s.image_bytes > 0;
}

std::string mac_of(int index) {
  char mac[24];
  snprintf(mac, sizeof mac, "C4:7C:%02X:%02X:%02X:%02X", (index >> 24) & 0xFF, (index >> 16) & 0xFF,
           (index >> 8) & 0xFF, index & 0xFF);
  return mac;
}

double seconds_since(steady::time_point start) {
  return std::chrono::duration<double>(steady::now() - start).count();
}

// A throwaway PostgreSQL server, as the tests start one.
class throwaway_server {
 public:
  bool start(const std::string& folder) {
    folder_ = folder + "/pg";
    const std::string command = std::string(PG_TEST_SERVER) + " up '" + folder_ + "'";
    FILE* out = popen(command.c_str(), "r");
    if (!out) return false;
    char line[1024] = {};
    const bool read = fgets(line, sizeof line, out) != nullptr;
    started_ = pclose(out) == 0 && read;
    uri_ = line;
    while (!uri_.empty() && (uri_.back() == '\n' || uri_.back() == '\r')) uri_.pop_back();
    return started_;
  }
  ~throwaway_server() {
    if (!started_) return;
    const std::string command = std::string(PG_TEST_SERVER) + " down '" + folder_ + "' >/dev/null";
    if (system(command.c_str()) != 0) fprintf(stderr, "line_bench: %s stays\n", folder_.c_str());
  }
  const std::string& uri() const { return uri_; }

 private:
  std::string folder_, uri_;
  bool started_ = false;
};

// ---------------------------------------------------------------------------
// 1. The record's cost per device.

struct cost {
  double mean_us = 0;
  double last_tenth_us = 0;
};

template <typename PerDevice>
cost measure(int devices, PerDevice per_device) {
  std::vector<double> each;
  for (int i = 0; i < devices; ++i) {
    const steady::time_point start = steady::now();
    if (!per_device(i)) return cost{-1, -1};
    each.push_back(seconds_since(start) * 1e6);
  }
  cost c;
  for (double us : each) c.mean_us += us / devices;
  const size_t tenth = std::max<size_t>(1, each.size() / 10);
  for (size_t i = each.size() - tenth; i < each.size(); ++i) c.last_tenth_us += each[i] / tenth;
  return c;
}

campaign bench_campaign(int run) {
  campaign c;
  c.image_name = "fw-1.06.bin";
  c.image_bytes = 65536 + static_cast<uint64_t>(run);
  c.image_crc32 = 0x340BC6D9;
  c.expected_revision = "1.06";
  return c;
}

// A claim and a result, as a station writes them for each device.
cost store_cost(record_store& store, int devices, int run) {
  std::string error;
  if (store.open_campaign(bench_campaign(run), true, error) != store_status::ok) {
    fprintf(stderr, "line_bench: %s\n", error.c_str());
    return cost{-1, -1};
  }
  return measure(devices, [&](int i) {
    const std::string mac = mac_of(i);
    const claim_outcome claim = store.claim(claim_request{mac, "TAVREN RD", "bench"});
    if (!claim.granted) return false;
    attempt_result result;
    result.mac = mac;
    result.attempt = claim.attempt;
    result.station = "bench";
    result.state = record_state::ok;
    result.row.mac = mac;
    result.row.revision_before = "1.05";
    result.row.revision_after = "1.06";
    result.row.bytes = 65536;
    return store.finish(result).status == store_status::ok;
  });
}

// The batch's report after every device: every row so far, rewritten.
cost report_cost(const std::string& folder, int devices) {
  report_file file;
  std::string reason;
  const std::string path = folder + "/report-" + std::to_string(devices) + ".json";
  if (file.take(path, reason) != report_file::taken::yes) return cost{-1, -1};
  batch_report report;
  report.image = report_image{"fw-1.06.bin", "fw-1.06.bin", 65536, 0x340BC6D9, true};
  return measure(devices, [&](int i) {
    device_row row;
    row.mac = mac_of(i);
    row.result = device_result::ok;
    row.revision_before = "1.05";
    row.bytes = 65536;
    report.rows.push_back(row);
    return file.write(report_text(path, report), reason);
  });
}

void print_cost(const char* what, int devices, const cost& c) {
  if (c.mean_us < 0) {
    printf("%-26s %6d devices: failed\n", what, devices);
    return;
  }
  printf("%-26s %6d devices: %9.0f us a device, %9.0f us for the last tenth\n", what, devices,
         c.mean_us, c.last_tenth_us);
}

int record_costs(const std::string& folder, const std::string& postgres) {
  printf(
      "what keeping the record costs per device (a claim and a result; the report: a rewrite)\n");
  int run = 0;
  for (int devices : {10, 100, 1000}) {
    ++run;
    std::string error, warning;
    std::unique_ptr<file_store> file = file_store::open(
        folder + "/record-" + std::to_string(devices) + ".ndjson", false, error, warning);
    if (!file) {
      fprintf(stderr, "line_bench: %s\n", error.c_str());
      return 1;
    }
    print_cost("line record, local file", devices, store_cost(*file, devices, run));
    if (!postgres.empty()) {
      exit_status status = exit_status::done;
      std::unique_ptr<record_store> shared =
          open_record_store(postgres, store_use::station, error, warning, status);
      if (shared)
        print_cost("line record, PostgreSQL", devices, store_cost(*shared, devices, run));
      else
        printf("line record, PostgreSQL: %s\n", error.c_str());
    }
    print_cost("batch report, rewritten", devices, report_cost(folder, devices));
    fflush(stdout);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// 2. The line.

// A station process with its standard error in a pipe, read as it goes.
struct station_process {
  pid_t pid = -1;
  int err = -1;
  std::string pending;
  std::string name;
  int done = 0;
  double last_done_s = 0;
};

bool spawn_station(station_process& station, const std::string& folder,
                   const std::vector<std::string>& words,
                   const std::vector<std::string>& settings) {
  int ends[2];
  if (pipe(ends) != 0) return false;
  std::vector<std::string> argv_words = words;
  std::vector<char*> argv, envp;
  for (std::string& word : argv_words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = settings;
  for (char** entry = environ; *entry; ++entry) environment.push_back(*entry);
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
  posix_spawn_file_actions_addclose(&actions, ends[0]);
  // Each station keeps its own files (its spool) in a folder of its own.
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  const int spawned =
      posix_spawn(&station.pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  station.err = ends[0];
  return spawned == 0;
}

// Each "done" event a station writes is timed as it comes.
void read_events(station_process& station, steady::time_point start) {
  char buffer[4096];
  const ssize_t got = read(station.err, buffer, sizeof buffer);
  if (got <= 0) {
    close(station.err);
    station.err = -1;
    return;
  }
  station.pending.append(buffer, static_cast<size_t>(got));
  for (size_t end; (end = station.pending.find('\n')) != std::string::npos;) {
    const nlohmann::json event =
        nlohmann::json::parse(station.pending.substr(0, end), nullptr, false);
    station.pending.erase(0, end + 1);
    if (event.is_object() && event.value("event", "") == "done" &&
        event.value("result", "") == "ok") {
      ++station.done;
      station.last_done_s = seconds_since(start);
    }
  }
}

struct line_figures {
  std::vector<station_process> stations;
  double span_s = 0;
  int done = 0;
};

bool run_line(const settings& s, int stations, const std::string& folder, const std::string& uri,
              const std::string& image, line_figures& figures) {
  std::string world = "seed = 3\nconnection_interval_ms = 7.5\narrivals_every_ms = " +
                      std::to_string(s.arrivals_ms) + "\n";
  for (int i = 0; i < s.devices; ++i) {
    world += "[device]\nmac = " + mac_of(0x100 + i) +
             "\nname = TAVREN RD\ncommand_busy_ms = 5\nrestart_after_finish = 1\n"
             "revision_after_restart = 1.06\nrestart_absent_ms = 1000\n";
  }
  fs::create_directories(folder);
  std::ofstream(folder + "/world.txt") << world;
  const steady::time_point start = steady::now();
  figures.stations.resize(static_cast<size_t>(stations));
  for (int i = 0; i < stations; ++i) {
    station_process& station = figures.stations[static_cast<size_t>(i)];
    station.name = "station-" + std::to_string(i + 1);
    const std::string dir = folder + "/" + station.name;
    fs::create_directories(dir);
    if (!spawn_station(station, dir,
                       {TAVREN_UPDATE_PROGRAM, "line", image, "--name-prefix", "TAVREN",
                        "--expect-revision", "1.06", "--parallel", "8", "--record", uri,
                        "--station", station.name, "--until-idle", "15", "--progress", "json"},
                       {"LD_LIBRARY_PATH=" WARBLE_LIBRARY_DIR,
                        "WARBLE_SIM_SCENARIO=" + folder + "/world.txt"})) {
      fprintf(stderr, "line_bench: cannot start %s\n", station.name.c_str());
      return false;
    }
  }
  for (;;) {
    std::vector<pollfd> watched;
    for (station_process& station : figures.stations)
      if (station.err >= 0) watched.push_back(pollfd{station.err, POLLIN, 0});
    if (watched.empty()) break;
    poll(watched.data(), watched.size(), 1000);
    for (station_process& station : figures.stations) {
      for (const pollfd& each : watched)
        if (each.fd == station.err && each.revents) read_events(station, start);
    }
  }
  bool all_ended = true;
  for (station_process& station : figures.stations) {
    int status = 0;
    waitpid(station.pid, &status, 0);
    all_ended &= WIFEXITED(status) && WEXITSTATUS(status) == 0;
    figures.done += station.done;
    figures.span_s = std::max(figures.span_s, station.last_done_s);
  }
  return all_ended;
}

void print_line(const char* what, const line_figures& f, int devices) {
  printf("%s: %d of %d devices ok in %.1f s, %.0f devices/h for the line\n", what, f.done, devices,
         f.span_s, f.span_s > 0 ? f.done * 3600.0 / f.span_s : 0.0);
  for (const station_process& station : f.stations) {
    printf("  %-10s %3d devices, %6.0f devices/h\n", station.name.c_str(), station.done,
           f.span_s > 0 ? station.done * 3600.0 / f.span_s : 0.0);
  }
  fflush(stdout);
}

int line(const settings& s, const std::string& folder, const std::string& uri) {
  printf(
      "the line: %d devices turning up %d ms apart, %zu-byte image, 8 links a station, "
      "connection interval 7.5 ms (real time)\n",
      s.devices, s.arrivals_ms, s.image_bytes);
  fflush(stdout);
  // Two images, one byte apart: two campaigns on one record.
  std::string bytes(s.image_bytes, '\0');
  std::mt19937 random(5);
  for (char& byte : bytes) byte = static_cast<char>(random());
  const std::string shared_image = folder + "/line.bin", alone_image = folder + "/alone.bin";
  std::ofstream(shared_image, std::ios::binary) << bytes;
  bytes[0] ^= 1;
  std::ofstream(alone_image, std::ios::binary) << bytes;
  line_figures together, alone;
  const bool line_ok = run_line(s, s.stations, folder + "/together", uri, shared_image, together);
  print_line((std::to_string(s.stations) + " stations").c_str(), together, s.devices);
  const bool alone_ok = run_line(s, 1, folder + "/alone", uri, alone_image, alone);
  print_line("1 station", alone, s.devices);
  if (alone.span_s > 0 && together.span_s > 0)
    printf("the line against one station: %.2f times the devices per hour\n",
           (together.done / together.span_s) / (alone.done / alone.span_s));
  return line_ok && alone_ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  settings s;
  if (!parse(argc, argv, s)) {
    fprintf(stderr,
            "usage: line_bench [--stations N] [--devices N] [--arrivals-ms MS] [--image-kib K] "
            "[--postgres URI] [--record-only]\n");
    return 2;
  }
  char dir[] = "/tmp/line-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string folder = dir;
  const std::unique_ptr<const std::string, void (*)(const std::string*)> removed(
      &folder, [](const std::string* path) { fs::remove_all(*path); });
  throwaway_server server;
  std::string uri = s.postgres;
  if (uri.empty() && server.start(folder)) uri = server.uri();
  if (uri.empty())
    printf("PostgreSQL: no server (give --postgres URI): its figures are left out\n");
  int status = record_costs(folder, uri);
  if (status == 0 && !s.record_only) {
    if (uri.empty()) {
      printf("the line: needs PostgreSQL, left out\n");
    } else {
      status = line(s, folder, uri);
    }
  }
  return status;
}
