// Drives the real TavrenUpdate.exe from another Win32 process, the way a
// user would: starts it with a simulated world, finds its windows, presses
// its buttons and menu commands, reads what it shows and what it printed.
// Everything here waits with a bound; nothing relies on timing luck.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace e2e {

// The program's windows, by the titles a user sees.
inline constexpr const char* MAIN_TITLE = "TAVREN Firmware Update Utility";
inline constexpr const char* SELECT_TITLE = "Select BT Device";
inline constexpr const char* PROGRESS_TITLE = "Connecting to device...";

// Where the driver finds what it needs; set from the command line.
struct driver_paths {
  std::string app;      // TavrenUpdate.exe
  std::string warble;   // the stand-in warble.dll
  std::string sleeper;  // a program that just waits (stands in for the sibling)
  std::string runs;     // folder for each case's files and screenshots
};
driver_paths& paths();
// Fills paths() from --app=PATH --warble=PATH --sleeper=PATH --runs=FOLDER
// among the arguments (others are passed over); false when the program,
// the library or the runs folder was not named.
bool read_driver_paths(int argc, char** argv);

// "/a/b" (a path of the machine Wine runs on) to "Z:\a\b"; Windows paths
// pass unchanged.
std::string windows_path(const std::string& path);

// Polls `condition` every few milliseconds for at most `limit_ms`.
bool wait_until(const std::function<bool()>& condition, DWORD limit_ms);

// `path` in UTF-8.
bool write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
// CRC-32/JAMCRC, as the device checks the image.
uint32_t image_crc(const std::string& bytes);

// A program started by the driver; ended at destruction if still running.
class child_process {
 public:
  child_process() = default;
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;
  ~child_process();
  // Starts `exe` in `directory`, standard output into `stdout_path` (may be
  // empty). The driver's environment is inherited.
  bool start(const std::string& exe, const std::string& directory, const std::string& stdout_path);
  bool running() const;
  // Waits for the end; false when it did not end within the limit.
  bool wait_exit(DWORD limit_ms, DWORD* exit_code);
  void kill();
  DWORD pid() const { return pid_; }
  HANDLE handle() const { return process_; }

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

// One run of the program in its own folder: its own copy of the .exe (under
// the given name), warble.dll beside it, the scenario and the record of the
// simulated device, its standard output.
class app_run {
 public:
  app_run() = default;  // prepare() before start()
  app_run(const std::string& case_name, const std::string& scenario,
          const std::string& exe_name = "TavrenUpdate.exe") {
    prepare(case_name, scenario, exe_name);
  }
  // Lays out the run folder: the program's copy, warble.dll, the scenario.
  void prepare(const std::string& case_name, const std::string& scenario,
               const std::string& exe_name = "TavrenUpdate.exe");
  bool start();
  // Makes a dialog template of this run's copy of the program unusable, for
  // the cases where the program must cope with a window it cannot create.
  bool break_dialog_template(int id);
  // Takes warble.dll away from beside this run's copy of the program.
  void remove_library();
  child_process& process() { return process_; }
  std::string file(const std::string& name) const;  // a file of the run folder
  std::string program() const;                      // this run's copy of the program
  // Standard output so far, CR LF turned into LF.
  std::string output() const;
  bool wait_output(const std::string& piece, DWORD limit_ms) const;
  size_t count_output(const std::string& piece) const;
  // The simulated device's record ("key = value" lines).
  std::map<std::string, std::string> record() const;
  // A visible top-level window of this run with exactly this title.
  HWND find_window(const char* title) const;
  HWND wait_window(const char* title, DWORD limit_ms = 15000) const;
  bool wait_window_gone(const char* title, DWORD limit_ms) const;
  // Saves a screenshot of `window` as <name>.bmp in the run folder and
  // returns its path (empty on failure).
  std::string screenshot(HWND window, const std::string& name) const;

 private:
  std::string folder_;
  std::string exe_;
  child_process process_;
};

// What a user sees of a window. Every read is a message sent with a bound
// (SEND_LIMIT_MS): a program that does not answer yields an empty text or
// -1, never a driver that waits for good.
constexpr UINT SEND_LIMIT_MS = 5000;
// Texts are read and written wide and kept here in UTF-8, so that names
// outside the code page survive the trip.
std::string window_text(HWND window);
int list_column_width(HWND list, int column);
// The text of a command's item in a menu resource of a program file, "&"
// included.
std::string menu_item_text(const std::string& exe, int menu_id, int command);

// UTF-8 here, UTF-16 for the windows and the file system.
std::wstring wide_of(const std::string& utf8);
std::string utf8_of(const std::wstring& wide);
bool make_folder_named(const std::string& utf8_path);
// The names of the files (not folders) in a folder.
std::vector<std::string> files_in(const std::string& utf8_folder);
std::string control_text(HWND dialog, int id);
bool control_enabled(HWND dialog, int id);
bool control_exists(HWND dialog, int id);
int progress_position(HWND dialog, int id);

// What a user does. These post, so that a command that opens a modal
// dialog or a message box does not hold up the driver.
void post_command(HWND window, int id);
void click_button(HWND dialog, int id);
bool set_control_text(HWND dialog, int id, const std::string& text);

// The list view of another process, through memory allocated in it.
std::vector<std::vector<std::string>> list_rows(HANDLE process, HWND list, int columns);
bool select_list_row(HANDLE process, HWND list, int row);
bool set_list_item_text(HANDLE process, HWND list, int row, const std::string& text);
bool double_click_list(HANDLE process, HWND dialog, HWND list, int row);

// Whether the window's thread answers a sent message within `limit_ms`, and
// how long it took.
bool answers_within(HWND window, DWORD limit_ms, DWORD* reply_ms);

// Message boxes: every static text of the box, joined by newlines.
std::string message_box_text(HWND box);
// Closing a box as a user does, with a click on its OK button, or as a
// program does, with the OK command posted to the box itself.
void press_ok(HWND box);
void post_ok(HWND box);

}  // namespace e2e
