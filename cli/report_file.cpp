#include "cli/report_file.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/os.h"

namespace fs = std::filesystem;

namespace {

constexpr char LOCK_SUFFIX[] = ".lock";
constexpr char TEMPORARY_TAG[] = ".tavren-";
constexpr char TEMPORARY_SUFFIX[] = ".tmp";
constexpr size_t TEMPORARY_RANDOM_DIGITS = 12;
constexpr int TEMPORARY_NAME_TRIES = 16;

fs::path utf8_path(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string utf8_text(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// Beside the report (a rename within one folder is one step, never a
// copy), hidden, and not to be guessed: nobody can plant a file or a link
// under the name before we make it.
std::string temporary_name_for(const std::string& report) {
  static std::mt19937_64 random = [] {
    std::random_device entropy;
    std::seed_seq seed{
        entropy(), entropy(), static_cast<unsigned>(os_process_id()),
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
    return std::mt19937_64(seed);
  }();
  char digits[TEMPORARY_RANDOM_DIGITS + 1];
  snprintf(digits, sizeof digits, "%012llx",
           static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
  const fs::path where = utf8_path(report);
  // (Appended piece by piece: a chain of + trips a false warning of the
  // MinGW compiler about overlapping copies.)
  std::string name = ".";
  name.append(utf8_text(where.filename())).append(TEMPORARY_TAG).append(digits);
  name.append(TEMPORARY_SUFFIX);
  return utf8_text(where.parent_path() / utf8_path(name));
}

bool is_temporary_of(const std::string& entry, const std::string& report_name) {
  const std::string head = "." + report_name + TEMPORARY_TAG;
  const size_t length = head.size() + TEMPORARY_RANDOM_DIGITS + sizeof TEMPORARY_SUFFIX - 1;
  if (entry.size() != length || entry.compare(0, head.size(), head) != 0) return false;
  if (entry.compare(entry.size() - (sizeof TEMPORARY_SUFFIX - 1), std::string::npos,
                    TEMPORARY_SUFFIX) != 0)
    return false;
  const std::string digits = entry.substr(head.size(), TEMPORARY_RANDOM_DIGITS);
  return digits.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Left by a batch that was killed between making one and renaming it; we
// hold the lock, so no batch is writing one now.
void remove_stale_temporaries(const std::string& report) {
  const fs::path where = utf8_path(report);
  const std::string name = utf8_text(where.filename());
  const fs::path folder = where.parent_path().empty() ? fs::path(".") : where.parent_path();
  std::error_code failed;
  std::vector<fs::path> stale;
  for (fs::directory_iterator it(folder, failed), end; !failed && it != end; it.increment(failed)) {
    if (is_temporary_of(utf8_text(it->path().filename()), name)) stale.push_back(it->path());
  }
  for (const fs::path& path : stale) os_remove_file(utf8_text(path).c_str());
}

std::string system_reason() {
  return os_error_text(os_last_error());
}

}  // namespace

report_file::~report_file() {
  os_unlock_file(lock_);
}

bool report_file::usable(const std::string& path, const std::vector<std::string>& inputs,
                         std::string& reason) {
  switch (os_path_kind(path.c_str())) {
    case path_kind::other:
      reason = "the report " + path + " is not a regular file (a folder, a device or a link)";
      return false;
    case path_kind::regular:
      for (const std::string& input : inputs) {
        if (!input.empty() && os_same_file(path.c_str(), input.c_str())) {
          reason =
              "the report " + path + " is the same file as " + input + ": it would be written over";
          return false;
        }
      }
      return true;
    default:
      return true;
  }
}

bool report_file::take(const std::string& path, std::string& reason) {
  unsigned long holder = 0;
  const std::string lock_path = path + LOCK_SUFFIX;
  lock_ = os_lock_file(lock_path.c_str(), holder);
  if (!lock_) {
    reason = holder ? "the report " + path + " is in use by another batch (process " +
                          std::to_string(holder) + ", " + lock_path + ")"
                    : "cannot lock the report " + path + " (" + lock_path + "): " + system_reason();
    return false;
  }
  path_ = path;
  remove_stale_temporaries(path);
  return true;
}

bool report_file::write(const std::string& text, std::string& reason) {
  FILE* file = nullptr;
  std::string temporary;
  for (int attempt = 0; !file && attempt < TEMPORARY_NAME_TRIES; ++attempt) {
    temporary = temporary_name_for(path_);
    file = os_create_new_file(temporary.c_str());
  }
  if (!file) {
    reason = "cannot write the report " + path_ + ": " + system_reason();
    return false;
  }
  const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool committed = written && os_commit_file(file);
  std::string why = committed ? std::string() : system_reason();
  const bool closed = fclose(file) == 0;
  if (why.empty() && !closed) why = system_reason();
  if (why.empty() && !os_replace_file(temporary.c_str(), path_.c_str())) why = system_reason();
  if (!why.empty()) {
    os_remove_file(temporary.c_str());
    reason = "cannot write the report " + path_ + ": " + why;
    return false;
  }
  os_sync_folder_of(path_.c_str());
  return true;
}
