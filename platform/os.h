// The few things that differ per operating system, each implemented once in
// os_posix.cpp and once in os_win32.cpp. Everything above this header is
// portable C++20.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// Opaque handle of a loaded shared library; null when loading failed.
using os_library = void*;

// Loads a shared library by file name through the platform's normal search
// (LoadLibraryA on Windows, dlopen on POSIX). Returns null on failure.
os_library os_library_open(const char* file_name);

// Why the latest os_library_open on this thread failed, in the system's
// words (the dynamic loader's message; on Windows the text of the error
// code); empty when it did not fail.
std::string os_library_error();

// Resolves an exported symbol; null when the library does not export it.
void* os_library_symbol(os_library library, const char* name);

// The calling thread's last system error code (GetLastError or errno).
unsigned long os_last_error();

// Monotonic milliseconds since an arbitrary origin; like GetTickCount it
// wraps after about 49.7 days, so callers compare differences, never values.
uint32_t os_tick_ms();

// Real time since process start in milliseconds, for trace stamps only.
uint32_t os_process_clock_ms();

// Sleeps `micros` microseconds without rounding up to the system timer's
// tick where the system allows it: on Windows a plain Sleep lasts until the
// next tick (15.6 ms by default), so a 10 ms pause would last 15.6 ms.
void os_precise_sleep_us(uint64_t micros);

// Brackets a stretch of precise sleeps (a transfer). Where precise sleeps
// need a finer system timer (a Windows without high-resolution waitable
// timers), the first begin asks for a 1 ms timer resolution and the last end
// gives it back; elsewhere they do nothing.
void os_precise_timing_begin();
void os_precise_timing_end();
// How precise sleeps are made here, in words (for the benchmarks).
const char* os_precise_sleep_kind();

// Writes bytes to file descriptor 1 or 2 with one async-signal-safe call
// (write on POSIX, _write on Windows); for signal handlers.
void os_write_raw(int fd, const char* bytes, unsigned length);

// Ends the process at once with `status`, without running atexit handlers
// or flushing stdio; safe inside a signal handler.
[[noreturn]] void os_exit_now(int status);

// Opens `path` (UTF-8) for binary reading, but only when it names a regular
// file.
// A device (NUL, CON, COM1, anything under \\.\), a directory or a pipe is
// refused: it would give no length, an endless or empty stream, or (a FIFO)
// block the opener until some writer came.
// `unreadable`: it is there but could not be opened (no permission, held by
// another program); os_last_error() right after the call tells why.
enum class open_file_result { opened, not_found, not_a_file, unreadable };
FILE* os_open_regular_file(const char* path, open_file_result& result);

// The system's words for an error code of os_last_error ("Permission
// denied"), without a trailing period or line break.
std::string os_error_text(unsigned long code);

// What is at `path`, the last component not followed when it is a link (a
// link, or on Windows any reparse point, is `other`): only a regular file
// is ever replaced or read as a report.
enum class path_kind { missing, regular, other, unknown };
path_kind os_path_kind(const char* path);

// Whether `a` and `b` name the same existing file, however they are spelled
// (links followed, letter case, relative or absolute): the device and
// volume, and the file's number on it. False when either is missing.
bool os_same_file(const char* a, const char* b);

// Creates the file at `path` for binary writing only if nothing is there
// (never through a link planted under its name), readable by the user as a
// new file would be. Null when it exists or cannot be created.
FILE* os_create_new_file(const char* path);

// Removes a file (not a folder); false when it could not be.
bool os_remove_file(const char* path);

// Pushes a rename or creation in the folder that holds `path` to the disk
// (POSIX: the folder's own entry list is synced; Windows: the replacing
// move is write-through already).
bool os_sync_folder_of(const char* path);

// A lock on a file beside something the program owns for a while (a
// report), held until released or until the process ends in any way, so
// that a crashed holder never leaves it locked. Null with the holder's
// process id in `holder` (0 when unknown) when another process holds it, or
// null with `holder` 0 when the lock file cannot be made.
struct os_file_lock;
os_file_lock* os_lock_file(const char* path, unsigned long& holder);
void os_unlock_file(os_file_lock* lock);

// Opens the file at the UTF-8 `path` for reading and appending, made when it
// is not there (`created` says so): only a regular file, never through a
// link, never a pipe or a device. Null with os_last_error() set when it
// cannot be had (`other` in `kind` for a path that names something else).
FILE* os_open_append_file(const char* path, bool& created, path_kind& kind);

// Cuts an open file to `length` bytes; false when it cannot be.
bool os_truncate_file(FILE* file, int64_t length);

// Creates (or empties) the file at the UTF-8 `path` for binary writing.
FILE* os_create_file(const char* path);

// This process's id.
unsigned long os_process_id();

// This computer's name on the network; empty when it cannot be had.
std::string os_host_name();

// Local calendar time of `when`; false when it cannot be had.
bool os_local_time(std::time_t when, std::tm& local);
// Calendar time of `when` in UTC; false when it cannot be had.
bool os_utc_time(std::time_t when, std::tm& utc);

// The length of an open file in bytes, with 64-bit positions on every
// platform (a long is 32 bits on Windows); the file is left at its start.
// -1 when the length cannot be learnt (a pipe, a failed seek).
int64_t os_file_length(FILE* file);

// The folder that holds the running program's file, ending with its
// separator, in the form os_library_open takes; empty when it cannot be
// learnt. A library opened from there by its full path is the one shipped
// beside the program, never one that happens to lie in the current folder.
std::string os_program_folder();

// Whether `stream` is an interactive terminal (on Windows, a console: a
// redirection to NUL is a character device too, but no terminal).
bool os_is_terminal(FILE* stream);

// Whether cursor movements written to `stream` (a terminal) move the
// cursor rather than show as text; on Windows asks the console to take them
// (Windows 10 and later do). False for anything but a terminal.
bool os_enable_cursor_movement(FILE* stream);

// Pushes what was written to `file` through to the disk, so that a rename
// that follows it cannot publish an empty or partial file after a crash.
bool os_commit_file(FILE* file);

// Puts the file at `from` in the place of `to` (both UTF-8, in the same
// folder) in one step: a reader finds the old file or the new one, never a
// mix, and never no file at all. On Windows a target that another program
// holds open (a spreadsheet, a virus scanner) refuses the move for a while:
// it is tried again for about 2 s. False with os_last_error() set.
bool os_replace_file(const char* from, const char* to);

// A console program's interruptions: Ctrl+C, a termination request and
// the terminal hanging up (SIGINT, SIGTERM, SIGHUP: a closed terminal or a
// dropped SSH session), on Windows also Ctrl+Break and the console window
// closed, the user logging off or the system shutting down. `handler` runs
// once for each, in a signal handler on POSIX and on a thread of the
// system's on Windows, so it may do only what a signal handler may (set
// lock-free atomics, one raw write, an immediate exit). After the closing
// events Windows ends the process a few seconds later whatever happens;
// until then the program's own thread may still put things in order. Null
// gives the system's default handling back.
void os_set_interrupt_handler(void (*handler)());

// A write to a pipe or socket whose reader has gone fails (EPIPE) instead of
// ending the process: a program whose output is piped into `head` keeps its
// own records. Nothing to do on Windows, where such a write just fails.
void os_ignore_broken_pipe();
