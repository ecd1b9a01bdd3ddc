#include "fleet/input_file.h"

#include <cstdio>

#include "platform/os.h"

namespace {
constexpr char UTF8_BOM[] = "\xEF\xBB\xBF";
constexpr size_t READ_CHUNK = 64 * 1024;
}  // namespace

input_read read_input_file(const std::string& path, std::string& text, std::string& reason) {
  open_file_result opened = open_file_result::not_found;
  FILE* file = os_open_regular_file(path.c_str(), opened);
  if (!file) {
    switch (opened) {
      case open_file_result::not_a_file:
        reason = "not a regular file (a folder, a pipe or a device)";
        return input_read::not_a_file;
      case open_file_result::unreadable:
        reason = os_error_text(os_last_error());
        return input_read::unreadable;
      default:
        reason = "no such file";
        return input_read::missing;
    }
  }
  text.clear();
  char chunk[READ_CHUNK];
  bool too_large = false;
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, file)) > 0;) {
    if (text.size() + got > INPUT_FILE_LIMIT) {
      too_large = true;
      break;
    }
    text.append(chunk, got);
  }
  const bool failed = ferror(file) != 0;
  fclose(file);
  if (too_large) {
    reason = "larger than " + std::to_string(INPUT_FILE_LIMIT / (1024 * 1024)) + " MiB";
    return input_read::too_large;
  }
  if (failed) {
    reason = "it could not be read to its end";
    return input_read::unreadable;
  }
  if (text.rfind(UTF8_BOM, 0) == 0) text.erase(0, sizeof UTF8_BOM - 1);
  return input_read::read;
}
