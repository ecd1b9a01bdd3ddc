// 64-bit file positions for fseeko/ftello on 32-bit systems too.
#define _FILE_OFFSET_BITS 64

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) result = open_file_result::unreadable;
    return nullptr;
  }
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

FILE* os_open_append_file(const char* path, bool& created, path_kind& kind) {
  created = false;
  kind = path_kind::unknown;
  if (!path) return nullptr;
  int fd = open(path, O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    created = fd >= 0;
  }
  if (fd < 0) {
    if (errno == ELOOP) kind = path_kind::other;
    return nullptr;
  }
  struct stat about {};
  if (fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
    close(fd);
    kind = path_kind::other;
    errno = EINVAL;
    return nullptr;
  }
  kind = path_kind::regular;
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* file = fdopen(fd, "a+b");
  if (!file) close(fd);
  return file;
}

bool os_truncate_file(FILE* file, int64_t length) {
  return file && fflush(file) == 0 && ftruncate(fileno(file), static_cast<off_t>(length)) == 0;
}

FILE* os_create_file(const char* path) {
  return path ? fopen(path, "wb") : nullptr;
}

unsigned long os_process_id() {
  return static_cast<unsigned long>(getpid());
}

std::string os_host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

bool os_local_time(std::time_t when, std::tm& local) {
  return localtime_r(&when, &local) != nullptr;
}

bool os_utc_time(std::time_t when, std::tm& utc) {
  return gmtime_r(&when, &utc) != nullptr;
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

bool os_enable_cursor_movement(FILE* stream) {
  return os_is_terminal(stream);
}

bool os_commit_file(FILE* file) {
  return file && fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool os_replace_file(const char* from, const char* to) {
  return from && to && rename(from, to) == 0;
}

std::string os_error_text(unsigned long code) {
  char buffer[256];
  // The GNU variant returns the text, which may or may not be in `buffer`.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  return text ? text : "error " + std::to_string(code);
}

path_kind os_path_kind(const char* path) {
  struct stat about {};
  if (!path || lstat(path, &about) != 0)
    return errno == ENOENT ? path_kind::missing : path_kind::unknown;
  return S_ISREG(about.st_mode) ? path_kind::regular : path_kind::other;
}

bool os_same_file(const char* a, const char* b) {
  struct stat first {
  }, second{};
  if (!a || !b || stat(a, &first) != 0 || stat(b, &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

FILE* os_create_new_file(const char* path) {
  if (!path) return nullptr;
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    const int saved = errno;
    close(fd);
    unlink(path);
    errno = saved;
  }
  return file;
}

bool os_remove_file(const char* path) {
  return path && unlink(path) == 0;
}

bool os_sync_folder_of(const char* path) {
  if (!path) return false;
  const std::string text = path;
  const size_t slash = text.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : text.substr(0, slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

struct os_file_lock {
  int fd = -1;
  std::string path;
};

namespace {

unsigned long holder_written_in(int fd) {
  char text[32] = {};
  const ssize_t got = pread(fd, text, sizeof text - 1, 0);
  return got > 0 ? std::strtoul(text, nullptr, 10) : 0;
}

}  // namespace

// An advisory lock (fcntl) that the system drops with the process. The file
// is removed by its holder on release; a locker that finds, once it holds
// the lock, that the name now names another file (removed and made anew
// meanwhile) tries again, so two processes never both hold "the" lock.
os_file_lock* os_lock_file(const char* path, unsigned long& holder) {
  holder = 0;
  if (!path) return nullptr;
  for (int attempt = 0; attempt < 10; ++attempt) {
    const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &whole) != 0) {
      holder = holder_written_in(fd);
      close(fd);
      return nullptr;
    }
    struct stat held {
    }, named{};
    if (fstat(fd, &held) != 0 || stat(path, &named) != 0 || held.st_ino != named.st_ino ||
        held.st_dev != named.st_dev) {
      close(fd);
      continue;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) {
      // The lock holds all the same; only the message of a second batch
      // loses the process id.
    }
    return new os_file_lock{fd, path};
  }
  return nullptr;
}

void os_unlock_file(os_file_lock* lock) {
  if (!lock) return;
  unlink(lock->path.c_str());
  close(lock->fd);
  delete lock;
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
  sigaction(SIGHUP, &action, nullptr);
}

void os_ignore_broken_pipe() {
  signal(SIGPIPE, SIG_IGN);
}
