#include <mutex>
#include <string>

#include "device/firmware_update.h"

namespace {
// Set by the front end at start-up (and by tests), read by the worker.
// Never destroyed: the worker may still read it while the process exits.
std::mutex& path_reader_lock = *new std::mutex;
std::function<std::string()>& path_reader = *new std::function<std::string()>;
}  // namespace

void set_update_path_reader(std::function<std::string()> reader) {
  std::lock_guard<std::mutex> hold(path_reader_lock);
  path_reader = std::move(reader);
}

std::string read_update_path() {
  std::function<std::string()> reader;
  {
    std::lock_guard<std::mutex> hold(path_reader_lock);
    reader = path_reader;
  }
  return reader ? reader() : std::string();
}
