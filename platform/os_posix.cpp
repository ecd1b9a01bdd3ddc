// 64-bit file positions for fseeko/ftello on 32-bit systems too.
#define _FILE_OFFSET_BITS 64

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "platform/os.h"

namespace {
thread_local std::string library_error;
}  // namespace

os_library os_library_open(const char* file_name) {
  os_library library = dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
  const char* why = library ? nullptr : dlerror();
  library_error = why ? why : "";
  return library;
}

std::string os_library_error() {
  return library_error;
}

void* os_library_symbol(os_library library, const char* name) {
  return library ? dlsym(library, name) : nullptr;
}

unsigned long os_last_error() {
  return static_cast<unsigned long>(errno);
}

static uint64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint32_t os_tick_ms() {
  return static_cast<uint32_t>(monotonic_ms());
}

uint32_t os_process_clock_ms() {
  static const uint64_t start = monotonic_ms();
  return static_cast<uint32_t>(monotonic_ms() - start);
}

#include <unistd.h>

// nanosleep already sleeps its length to within the scheduler's latency.
void os_precise_sleep_us(uint64_t micros) {
  timespec left{static_cast<time_t>(micros / 1000000u),
                static_cast<long>(micros % 1000000u) * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void os_precise_timing_begin() {}
void os_precise_timing_end() {}
const char* os_precise_sleep_kind() {
  return "nanosleep";
}

void os_write_raw(int fd, const char* bytes, unsigned length) {
  while (length > 0) {
    const ssize_t written = write(fd, bytes, length);
    if (written <= 0) return;
    bytes += written;
    length -= static_cast<unsigned>(written);
  }
}

void os_exit_now(int status) {
  _exit(status);
}

FILE* os_open_regular_file(const char* path, open_file_result& result) {
  result = open_file_result::not_found;
  if (!path) return nullptr;
  // Non-blocking, so that a FIFO opens at once and can be told apart.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat about {};
  if (fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
    close(fd);
    result = open_file_result::not_a_file;
    return nullptr;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* file = fdopen(fd, "rb");
  if (!file) {
    close(fd);
    return nullptr;
  }
  result = open_file_result::opened;
  return file;
}

int64_t os_file_length(FILE* file) {
  if (!file || fseeko(file, 0, SEEK_END) != 0) return -1;
  const off_t length = ftello(file);
  if (fseeko(file, 0, SEEK_SET) != 0) return -1;
  return length < 0 ? -1 : static_cast<int64_t>(length);
}

FILE* os_create_file(const char* path) {
  return path ? fopen(path, "wb") : nullptr;
}

unsigned long os_process_id() {
  return static_cast<unsigned long>(getpid());
}

bool os_local_time(std::time_t when, std::tm& local) {
  return localtime_r(&when, &local) != nullptr;
}

std::string os_program_folder() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  const std::string program(path, static_cast<size_t>(length));
  const size_t slash = program.rfind('/');
  return slash == std::string::npos ? std::string() : program.substr(0, slash + 1);
}

bool os_is_terminal(FILE* stream) {
  return stream && isatty(fileno(stream)) == 1;
}

bool os_commit_file(FILE* file) {
  return file && fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool os_replace_file(const char* from, const char* to) {
  return from && to && rename(from, to) == 0;
}

namespace {

std::atomic<void (*)()> interrupt_handler{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free);

void on_interrupt_signal(int) {
  if (void (*handler)() = interrupt_handler.load()) handler();
}

}  // namespace

void os_set_interrupt_handler(void (*handler)()) {
  interrupt_handler = handler;
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  // Restarted calls: a read or a wait that the signal cut short carries on,
  // and the program notices the interruption where it looks for it.
  action.sa_flags = SA_RESTART;
  action.sa_handler = handler ? on_interrupt_signal : SIG_DFL;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
