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
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
        error != ERROR_INVALID_NAME)
      result = open_file_result::unreadable;
    SetLastError(error);
    return nullptr;
  }
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

FILE* os_open_append_file(const char* path, bool& created, path_kind& kind) {
  created = false;
  kind = path ? os_path_kind(path) : path_kind::unknown;
  if (!path || kind == path_kind::other) return nullptr;
  // OPEN_ALWAYS on something that is no file (a device name) is refused by
  // the check above; a link or reparse point too.
  HANDLE handle =
      CreateFileW(wide_path(path).c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  created = GetLastError() != ERROR_ALREADY_EXISTS;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    kind = path_kind::other;
    return nullptr;
  }
  const int fd =
      _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_APPEND | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(fd, "a+b");
  if (!file) _close(fd);
  kind = path_kind::regular;
  return file;
}

bool os_truncate_file(FILE* file, int64_t length) {
  return file && fflush(file) == 0 && _chsize_s(_fileno(file), length) == 0;
}

FILE* os_create_file(const char* path) {
  if (!path) return nullptr;
  return _wfopen(wide_path(path).c_str(), L"wb");
}

unsigned long os_process_id() {
  return GetCurrentProcessId();
}

std::string os_host_name() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = sizeof name;
  return GetComputerNameA(name, &length) ? std::string(name, length) : std::string();
}

bool os_local_time(std::time_t when, std::tm& local) {
  return localtime_s(&local, &when) == 0;
}

bool os_utc_time(std::time_t when, std::tm& utc) {
  return gmtime_s(&utc, &when) == 0;
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

bool os_enable_cursor_movement(FILE* stream) {
  if (!stream) return false;
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  DWORD mode = 0;
  if (handle == -1 || !GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode)) return false;
  // Not every header names it (Windows 10 and later).
  constexpr DWORD VIRTUAL_TERMINAL_PROCESSING = 0x0004;
  if (mode & VIRTUAL_TERMINAL_PROCESSING) return true;
  return SetConsoleMode(reinterpret_cast<HANDLE>(handle), mode | VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool os_commit_file(FILE* file) {
  return file && fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

namespace {

// A spreadsheet that shows the report, or a scanner reading it, holds the
// file open for a moment: the move is refused meanwhile.
constexpr DWORD REPLACE_RETRY_MS = 50;
constexpr int REPLACE_ATTEMPTS = 40;  // about 2 s in all

bool held_by_another_program(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

}  // namespace

bool os_replace_file(const char* from, const char* to) {
  if (!from || !to) return false;
  const std::wstring source = wide_path(from), target = wide_path(to);
  for (int attempt = 1;; ++attempt) {
    // Write-through: the call returns once the new name is on the disk.
    if (MoveFileExW(source.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return true;
    const DWORD error = GetLastError();
    if (attempt >= REPLACE_ATTEMPTS || !held_by_another_program(error)) {
      SetLastError(error);
      return false;
    }
    Sleep(REPLACE_RETRY_MS);
  }
}

std::string os_error_text(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message;
  if (length && text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    message.resize(static_cast<size_t>(size > 0 ? size : 0));
    if (size > 0)
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), message.data(), size, nullptr,
                          nullptr);
  }
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(code) : message;
}

path_kind os_path_kind(const char* path) {
  if (!path) return path_kind::unknown;
  const DWORD attributes = GetFileAttributesW(wide_path(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? path_kind::missing
                                                                          : path_kind::unknown;
  }
  if (strncmp(path, "\\\\.\\", 4) == 0) return path_kind::other;
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return path_kind::other;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A link leads elsewhere; other reparse points (a file synced from the
    // cloud, a deduplicated one) are plain files to their user.
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(wide_path(path).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return path_kind::unknown;
    FindClose(search);
    if (found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
        found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT)
      return path_kind::other;
  }
  return path_kind::regular;
}

namespace {

bool identity_of(const char* path, BY_HANDLE_FILE_INFORMATION& about) {
  HANDLE handle = CreateFileW(wide_path(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(handle, &about) != 0;
  CloseHandle(handle);
  return known;
}

}  // namespace

bool os_same_file(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  if (!a || !b || !identity_of(a, first) || !identity_of(b, second)) return false;
  return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

FILE* os_create_new_file(const char* path) {
  if (!path) return nullptr;
  // CREATE_NEW fails on anything already there, a link included.
  HANDLE handle = CreateFileW(wide_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    DeleteFileW(wide_path(path).c_str());
    return nullptr;
  }
  FILE* file = _fdopen(fd, "wb");
  if (!file) {
    _close(fd);
    DeleteFileW(wide_path(path).c_str());
  }
  return file;
}

bool os_remove_file(const char* path) {
  return path && DeleteFileW(wide_path(path).c_str()) != 0;
}

bool os_sync_folder_of(const char*) {
  return true;
}

struct os_file_lock {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

// The file is opened for writing with no sharing of writes and deleted when
// its last handle closes, which the system does when the process ends,
// however it ends. Others may read it, to learn who holds it.
os_file_lock* os_lock_file(const char* path, unsigned long& holder) {
  holder = 0;
  if (!path) return nullptr;
  const std::wstring name = wide_path(path);
  HANDLE handle =
      CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (!held_by_another_program(GetLastError())) return nullptr;
    HANDLE reader = CreateFileW(name.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reader != INVALID_HANDLE_VALUE) {
      char text[32] = {};
      DWORD got = 0;
      if (ReadFile(reader, text, sizeof text - 1, &got, nullptr) && got > 0)
        holder = strtoul(text, nullptr, 10);
      CloseHandle(reader);
    }
    return nullptr;
  }
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\r\n";
  DWORD written = 0;
  SetEndOfFile(handle);
  WriteFile(handle, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
  FlushFileBuffers(handle);
  return new os_file_lock{handle};
}

void os_unlock_file(os_file_lock* lock) {
  if (!lock) return;
  CloseHandle(lock->handle);
  delete lock;
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

void os_ignore_broken_pipe() {}
