#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <string>

#include "platform/os.h"

namespace {

// Windows 10 1803 and later; older headers do not name it.
constexpr DWORD HIGH_RESOLUTION_TIMER_FLAG = 0x00000002;

HANDLE create_high_resolution_timer() {
  return CreateWaitableTimerExW(nullptr, nullptr, HIGH_RESOLUTION_TIMER_FLAG, TIMER_ALL_ACCESS);
}

bool system_has_high_resolution_timers() {
  static const bool has = [] {
    HANDLE probe = create_high_resolution_timer();
    if (probe) CloseHandle(probe);
    return probe != nullptr;
  }();
  return has;
}

std::atomic<int> precise_timing_users{0};

}  // namespace

// Two ways, because each has its cost. A high-resolution waitable timer ends
// the wait at its due time without touching the rest of the system; where
// the system has none, Sleep lasts its length only while the system timer
// ticks every millisecond, a system-wide setting that costs power, so it is
// asked for only while a transfer runs (os_precise_timing_begin).
void os_precise_sleep_us(uint64_t micros) {
  // One timer per thread, kept for the thread's life: only the worker uses it.
  thread_local HANDLE timer =
      system_has_high_resolution_timers() ? create_high_resolution_timer() : nullptr;
  if (timer) {
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(micros * 10);  // relative, in 100 ns units
    if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
        WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0)
      return;
  }
  Sleep(static_cast<DWORD>((micros + 999) / 1000));
}

const char* os_precise_sleep_kind() {
  return system_has_high_resolution_timers() ? "high-resolution waitable timer"
                                             : "Sleep with a 1 ms timer resolution";
}

void os_precise_timing_begin() {
  if (system_has_high_resolution_timers()) return;
  if (precise_timing_users++ == 0) timeBeginPeriod(1);
}

void os_precise_timing_end() {
  if (system_has_high_resolution_timers()) return;
  if (--precise_timing_users == 0) timeEndPeriod(1);
}

namespace {
thread_local std::string library_error;

std::string system_error_text(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length && text ? std::string(text, length) : std::string();
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return message + " (error " + std::to_string(code) + ")";
}
}  // namespace

os_library os_library_open(const char* file_name) {
  HMODULE library = LoadLibraryA(file_name);
  library_error = library ? std::string() : system_error_text(GetLastError());
  return reinterpret_cast<os_library>(library);
}

std::string os_library_error() {
  return library_error;
}

void* os_library_symbol(os_library library, const char* name) {
  if (!library) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

unsigned long os_last_error() {
  return GetLastError();
}

uint32_t os_tick_ms() {
  return GetTickCount();
}

uint32_t os_process_clock_ms() {
  static const ULONGLONG start = GetTickCount64();
  return static_cast<uint32_t>(GetTickCount64() - start);
}

#include <io.h>
#include <stdlib.h>

void os_write_raw(int fd, const char* bytes, unsigned length) {
  while (length > 0) {
    const int written = _write(fd, bytes, length);
    if (written <= 0) return;
    bytes += written;
    length -= static_cast<unsigned>(written);
  }
}

void os_exit_now(int status) {
  _exit(status);
}

#include <fcntl.h>

#include <cstring>

namespace {

// Paths are UTF-8 inside the program; the file system takes UTF-16.
std::wstring wide_path(const char* utf8) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), length);
  wide.resize(static_cast<size_t>(length - 1));
  return wide;
}

}  // namespace

FILE* os_open_regular_file(const char* path, open_file_result& result) {
  result = open_file_result::not_found;
  if (!path) return nullptr;
  // The device namespace names no file, and opening some of its members
  // (a disk, a pipe) is not harmless.
  if (strncmp(path, "\\\\.\\", 4) == 0) {
    result = open_file_result::not_a_file;
    return nullptr;
  }
  // Backup semantics let a folder open too, so that it is told apart from a
  // missing file.
  HANDLE handle = CreateFileW(wide_path(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION about{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &about) ||
      (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(handle);
    result = open_file_result::not_a_file;
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(fd, "rb");
  if (!file) {
    _close(fd);
    return nullptr;
  }
  result = open_file_result::opened;
  return file;
}

int64_t os_file_length(FILE* file) {
  if (!file || _fseeki64(file, 0, SEEK_END) != 0) return -1;
  const __int64 length = _ftelli64(file);
  if (_fseeki64(file, 0, SEEK_SET) != 0) return -1;
  return length < 0 ? -1 : static_cast<int64_t>(length);
}

FILE* os_create_file(const char* path) {
  if (!path) return nullptr;
  return _wfopen(wide_path(path).c_str(), L"wb");
}

unsigned long os_process_id() {
  return GetCurrentProcessId();
}

bool os_local_time(std::time_t when, std::tm& local) {
  return localtime_s(&local, &when) == 0;
}

std::string os_program_folder() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    // A full buffer may hold a cut path: try again with more room.
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
  const size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

bool os_is_terminal(FILE* stream) {
  if (!stream) return false;
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  DWORD mode = 0;
  return handle != -1 && GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

bool os_commit_file(FILE* file) {
  return file && fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool os_replace_file(const char* from, const char* to) {
  if (!from || !to) return false;
  // Write-through: the call returns once the new name is on the disk.
  return MoveFileExW(wide_path(from).c_str(), wide_path(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

namespace {

std::atomic<void (*)()> interrupt_handler{nullptr};

// Windows ends the process as soon as the handler of a closing event
// returns, and anyway some seconds after the event: the handler waits, so
// that the program's own thread can release the device and write what it
// must in that time (its exit ends the wait sooner).
constexpr DWORD CLOSING_GRACE_MS = 10000;

BOOL WINAPI on_console_event(DWORD event) {
  void (*handler)() = interrupt_handler.load();
  if (!handler) return FALSE;
  handler();
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    Sleep(CLOSING_GRACE_MS);
  return TRUE;
}

}  // namespace

void os_set_interrupt_handler(void (*handler)()) {
  interrupt_handler = handler;
  static const bool installed = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
  (void)installed;
}
