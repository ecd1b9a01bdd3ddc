#include "fleet/report_file.h"

#include <cctype>
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

namespace {

constexpr const char* REPORT_ITSELF = "the report itself";

// File names as the system compares them: Windows folds the letter case.
bool same_name(const std::string& a, const std::string& b) {
#if defined(_WIN32)
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
#else
  return a == b;
#endif
}

// A path's folder, with every link and "..", resolved; and its own name.
struct placed_name {
  fs::path folder;
  std::string name;
};

placed_name placed(const fs::path& path) {
  std::error_code unknown;
  const fs::path absolute = fs::absolute(path, unknown);
  fs::path folder = fs::weakly_canonical(absolute.parent_path(), unknown);
  return placed_name{folder, utf8_text(absolute.filename())};
}

// Whether `input`, as named or once every link is followed, is a file the
// batch of `report` writes or removes: the report, its lock, or one of its
// temporary names. `what` says which.
bool touched_by_batch(const std::string& input, const std::string& report, std::string& what) {
  const placed_name target = placed(utf8_path(report));
  std::vector<fs::path> names = {utf8_path(input)};
  std::error_code unknown;
  const fs::path resolved = fs::weakly_canonical(fs::absolute(utf8_path(input), unknown), unknown);
  if (!unknown) names.push_back(resolved);
  for (const fs::path& name : names) {
    const placed_name candidate = placed(name);
    if (candidate.folder != target.folder &&
        !os_same_file(utf8_text(candidate.folder).c_str(), utf8_text(target.folder).c_str()))
      continue;
    if (same_name(candidate.name, target.name)) {
      what = REPORT_ITSELF;
      return true;
    }
    if (same_name(candidate.name, target.name + LOCK_SUFFIX)) {
      what = "the report's lock file";
      return true;
    }
    if (is_temporary_of(candidate.name, target.name)) {
      what = "a name of the report's temporary files, which a batch removes";
      return true;
    }
  }
  return false;
}

}  // namespace

bool report_file::usable(const std::string& path, const std::vector<std::string>& inputs,
                         const std::string& resumed_from, std::string& reason) {
  if (os_path_kind(path.c_str()) == path_kind::other) {
    reason = "the report " + path + " is not a regular file (a folder, a device or a link)";
    return false;
  }
  const std::string lock_path = path + LOCK_SUFFIX;
  std::vector<std::string> named = inputs;
  named.push_back(resumed_from);
  for (const std::string& input : named) {
    if (input.empty()) continue;
    const bool may_be_the_report = &input == &named.back();
    std::string what;
    if (os_same_file(lock_path.c_str(), input.c_str())) {
      what = "the same file as the report's lock file";
    } else if (!may_be_the_report && os_same_file(path.c_str(), input.c_str())) {
      what = "the same file as the report";
    } else if (!touched_by_batch(input, path, what) ||
               (may_be_the_report && what == REPORT_ITSELF)) {
      continue;
    }
    reason = input + " is " + what + " (" + path + "): it would be written over or removed";
    return false;
  }
  return true;
}

report_file::taken report_file::take(const std::string& path, std::string& reason) {
  unsigned long holder = 0;
  const std::string lock_path = path + LOCK_SUFFIX;
  lock_ = os_lock_file(lock_path.c_str(), holder);
  if (!lock_) {
    if (holder) {
      reason = "the report " + path + " is in use by another batch (process " +
               std::to_string(holder) + ", " + lock_path + ")";
      return taken::in_use;
    }
    reason = "cannot lock the report " + path + " (" + lock_path + "): " + system_reason();
    return taken::unusable;
  }
  path_ = path;
  remove_stale_temporaries(path);
  return taken::yes;
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
