// How the main window answers while the worker is busy, and how long the
// program takes to show its main window. Prints figures; judges nothing.
//
//   ui_bench --app=PATH --warble=PATH --runs=FOLDER
//
// Reply time: while a firmware transfer runs over a link with realistic
// connection-event timing, a message is sent to the main window every few
// milliseconds and the time until its window procedure has answered is
// taken. The UI thread never waits for the worker, so this stays short
// however busy the transfer keeps the worker and the link.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/resource.h"
#include "tests/e2e/ui_driver.h"

using namespace e2e;

namespace {

constexpr int STARTUP_RUNS = 5;
constexpr size_t IMAGE_SIZE = 48000;  // 200 packets
constexpr DWORD SAMPLE_GAP_MS = 5;
constexpr DWORD LIMIT_MS = 120000;

const std::string WORLD =
    "connection_interval_ms = 15\n"
    "[device]\n"
    "mac = C4:7C:8D:6A:3E:01\n"
    "name = TAVREN RD\n";

double now_ms() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()));
  return values[index];
}

void print_figures(const char* what, const std::vector<double>& values) {
  if (values.empty()) {
    printf("%s: no samples\n", what);
    return;
  }
  printf("%s: n=%zu  p50=%.2f ms  p90=%.2f ms  p99=%.2f ms  max=%.2f ms\n", what, values.size(),
         percentile(values, 0.50), percentile(values, 0.90), percentile(values, 0.99),
         *std::max_element(values.begin(), values.end()));
}

bool close_program(app_run& run, HWND main) {
  PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
  return run.process().wait_exit(10000, nullptr);
}

std::vector<double> measure_start_up() {
  std::vector<double> times;
  for (int i = 0; i < STARTUP_RUNS; ++i) {
    app_run run("bench_start_up", WORLD);
    const double started = now_ms();
    if (!run.start()) break;
    HWND main = nullptr;
    wait_until([&] { return (main = run.find_window(MAIN_TITLE)) != nullptr; }, LIMIT_MS);
    if (!main) break;
    times.push_back(now_ms() - started);
    close_program(run, main);
  }
  return times;
}

// Scan, pick our device, and wait until the main window shows it ready.
bool connect(app_run& run, HWND main) {
  post_command(main, IDM_CONNECT);
  HWND dialog = run.wait_window(SELECT_TITLE, LIMIT_MS);
  if (!dialog) return false;
  click_button(dialog, IDC_SCAN);
  HWND list = GetDlgItem(dialog, IDC_DEVICE_LIST);
  if (!wait_until([&] { return !list_rows(run.process().handle(), list, 1).empty(); }, LIMIT_MS)) {
    return false;
  }
  select_list_row(run.process().handle(), list, 0);
  click_button(dialog, IDC_CONNECT);
  HWND progress = run.wait_window(PROGRESS_TITLE, LIMIT_MS);
  if (progress) run.wait_window_gone(PROGRESS_TITLE, LIMIT_MS);
  return wait_until([&] { return control_enabled(main, IDC_UPDATE); }, LIMIT_MS);
}

std::vector<double> measure_replies_during_transfer(double* transfer_ms) {
  std::vector<double> replies;
  app_run run("bench_reply", WORLD);
  std::string image(IMAGE_SIZE, '\x5A');
  write_file(run.file("image.bin"), image);
  if (!run.start()) return replies;
  HWND main = run.wait_window(MAIN_TITLE, LIMIT_MS);
  if (!main || !connect(run, main)) {
    fprintf(stderr, "could not connect; output:\n%s\n", run.output().c_str());
    return replies;
  }
  set_control_text(main, IDC_IMAGE_PATH, run.file("image.bin"));
  click_button(main, IDC_UPDATE);
  // Sample only while packets flow: from the first progress to the box.
  wait_until(
      [&] {
        return run.find_window("Success") || progress_position(main, IDC_UPDATE_PROGRESS) > 0;
      },
      LIMIT_MS);
  const double started = now_ms();
  while (!run.find_window("Success") && !run.find_window("Error") &&
         now_ms() - started < LIMIT_MS) {
    const double sent = now_ms();
    DWORD_PTR result = 0;
    SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &result);
    replies.push_back(now_ms() - sent);
    Sleep(SAMPLE_GAP_MS);
  }
  *transfer_ms = now_ms() - started;
  if (HWND box = run.find_window("Success")) press_ok(box);
  close_program(run, main);
  return replies;
}

}  // namespace

int main(int argc, char** argv) {
  if (!read_driver_paths(argc, argv)) {
    fprintf(stderr, "usage: ui_bench --app=PATH --warble=PATH --runs=FOLDER\n");
    return 2;
  }
  print_figures("start to main window shown", measure_start_up());
  double transfer_ms = 0;
  const std::vector<double> replies = measure_replies_during_transfer(&transfer_ms);
  printf("transfer of %zu bytes observed for %.0f ms\n", IMAGE_SIZE, transfer_ms);
  print_figures("main window reply during the transfer", replies);
  return 0;
}
