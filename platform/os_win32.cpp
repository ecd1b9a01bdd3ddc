#include <windows.h>

#include "platform/os.h"

os_library os_library_open(const char* file_name) {
  return reinterpret_cast<os_library>(LoadLibraryA(file_name));
}

void* os_library_symbol(os_library library, const char* name) {
  if (!library) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

unsigned long os_last_error() { return GetLastError(); }

uint32_t os_tick_ms() { return GetTickCount(); }

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

void os_exit_now(int status) { _exit(status); }

int64_t os_file_length(FILE* file) {
  if (!file || _fseeki64(file, 0, SEEK_END) != 0) return -1;
  const __int64 length = _ftelli64(file);
  if (_fseeki64(file, 0, SEEK_SET) != 0) return -1;
  return length < 0 ? -1 : static_cast<int64_t>(length);
}
