// The program's entry point and process life: clear away the sibling
// console program, trace where we run, install the fatal-signal handlers,
// load the BLE library, start the worker, show the main window and run the
// message loop until the main window asks to quit.
#include <windows.h>

#include <commctrl.h>
#include <direct.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app_state.h"
#include "app/log_folder.h"
#include "app/resource.h"
#include "ble/ble_api.h"
#include "display/display.h"
#include "platform/signals.h"
#include "platform/trace.h"
#include "worker/request_queue.h"
#include "worker/worker.h"

HINSTANCE app_instance = nullptr;
HICON small_icon = nullptr;
std::atomic<bool> quit_flag{false};

namespace {

// The sibling console program holds the Bluetooth adapter; it must not run
// beside us. It is ended with this exit code so that its own logs tell why.
constexpr const char* SIBLING_IMAGE_NAME = "RadioDesk.exe";
constexpr UINT SIBLING_EXIT_CODE = 9;
constexpr size_t WORKING_DIRECTORY_SIZE = 260;

void trace_working_directory() {
  char directory[WORKING_DIRECTORY_SIZE];
  if (_getcwd(directory, sizeof directory))
    trace_printf("Current execution directory: %s\n", directory);
}

void init_common_controls() {
  InitCommonControls();
  INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX),
                               ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&classes);
}

// Only a main window that exists is worth a message loop: without one
// nothing could ever end it.
HWND create_main_window() {
  HWND window =
      CreateDialogParamW(app_instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, main_dialog_proc, 0);
  if (window) ShowWindow(window, SW_SHOW);
  return window;
}

void run_message_loop(HWND main_window, HACCEL accelerators) {
  MSG message;
  for (;;) {
    // Wide throughout: a character typed or pasted into the path field that
    // the PC's code page lacks reaches the field whole.
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) return;
    if (!TranslateAcceleratorW(main_window, accelerators, &message)) {
      if (!(IsWindow(main_window) && IsDialogMessageW(main_window, &message))) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
    if (quit_flag) return;
  }
}

// Without the library the program can do nothing: the user is told which
// part is missing and the process ends with status 1.
void load_ble_library_or_exit() {
  std::string error;
  if (ble_api_load(nullptr, error)) return;
  message_box(display_window::none, error.c_str(), "ERROR", box_icon::none);
  exit(1);
}

}  // namespace

void request_quit() {
  quit_flag = true;
}

void terminate_processes_named(const char* image_name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  // A copy of this program renamed to the sibling's name must not end
  // itself before it has shown anything.
  const DWORD self = GetCurrentProcessId();
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self || strcmp(entry.szExeFile, image_name) != 0) continue;
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
    if (!process) continue;
    TerminateProcess(process, SIBLING_EXIT_CODE);
    CloseHandle(process);
  }
  CloseHandle(snapshot);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Before the first line: the log is the only trace a windowed program's
  // user can send.
  start_logging();
  trace_line("Killing all previous BLE consoles");
  terminate_processes_named(SIBLING_IMAGE_NAME);
  trace_working_directory();
  install_fatal_signal_handlers();
  install_win32_display();
  load_ble_library_or_exit();
  init_common_controls();
  start_worker();
  app_instance = instance;
  small_icon = static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(IDI_WINDOW_ICON), IMAGE_ICON, 16, 16, LR_DEFAULTSIZE));
  HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCELERATORS));

  HWND main_window = create_main_window();
  if (!main_window) {
    MessageBoxW(nullptr, L"The main window cannot be created", L"Error", MB_ICONWARNING | MB_OK);
    return 1;
  }
  run_message_loop(main_window, accelerators);
  post_quit();
  return 0;
}
