#include "platform/run_log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/os.h"
#include "platform/trace.h"

namespace fs = std::filesystem;

namespace {

fs::path utf8_path(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string utf8_text(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// Local date and time to the second, for a person reading the folder. The
// clock may be set back (by hand, or by a time server after a wrong start),
// so the names are not what tells old logs from new.
std::string stamp_now() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  if (!os_local_time(now, local)) return "00000000-000000";
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

// Older logs of the program, least recently written first (a log that is
// still being written by a running copy counts as new).
std::vector<fs::path> logs_of(const fs::path& folder, const std::string& program) {
  struct found_log {
    fs::file_time_type written;
    fs::path path;
  };
  std::vector<found_log> found;
  std::error_code failed;
  for (fs::directory_iterator it(folder, failed), end; !failed && it != end; it.increment(failed)) {
    const std::string name = utf8_text(it->path().filename());
    if (name.size() > program.size() + 5 &&
        name.compare(0, program.size() + 1, program + "-") == 0 &&
        name.compare(name.size() - 4, 4, ".log") == 0) {
      std::error_code unknown;
      const fs::file_time_type written = fs::last_write_time(it->path(), unknown);
      found.push_back({unknown ? fs::file_time_type::min() : written, it->path()});
    }
  }
  std::sort(found.begin(), found.end(), [](const found_log& a, const found_log& b) {
    return a.written != b.written ? a.written < b.written : a.path < b.path;
  });
  std::vector<fs::path> logs;
  for (found_log& log : found) logs.push_back(std::move(log.path));
  return logs;
}

}  // namespace

std::string start_run_log(const std::string& folder, const std::string& program, size_t keep) {
  const fs::path where = utf8_path(folder);
  std::error_code failed;
  fs::create_directories(where, failed);
  if (!fs::is_directory(where, failed)) return {};

  // Room for this run's: a log another running copy still holds open may
  // refuse to go, and then simply stays.
  std::vector<fs::path> older = logs_of(where, program);
  const size_t room = keep > 0 ? keep - 1 : 0;
  for (size_t i = 0; older.size() > room + i; ++i) fs::remove(older[i], failed);

  const std::string name =
      program + "-" + stamp_now() + "-" + std::to_string(os_process_id()) + ".log";
  const std::string path = utf8_text(where / utf8_path(name));
  FILE* log = os_create_file(path.c_str());
  if (!log) return {};
  trace_set_log(log);
  return path;
}
