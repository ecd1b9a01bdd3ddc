// The main window (modeless dialog 173): what is known about the connected
// device, the image path, Update, the status line and the progress bar. It
// never talks to the device: its commands post requests to the worker.
#include <windows.h>

#include <commdlg.h>

#include <cstdlib>

#include "app/app_state.h"
#include "app/log_folder.h"
#include "app/resource.h"
#include "device/device_state.h"
#include "display/display.h"
#include "platform/trace.h"
#include "worker/request_queue.h"

std::atomic<HWND> main_dialog{nullptr};

namespace {

constexpr size_t IMAGE_PATH_CHOOSER_SIZE = 260;

void on_init(HWND window) {
  main_dialog = window;
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon));
  SetMenu(window, LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAIN_MENU)));
  show_connection_state(false, "");
}

// OK and Cancel (Enter, Escape, the close box) end the program normally.
void close_and_quit(int result) {
  EndDialog(main_dialog.load(), result);
  main_dialog = nullptr;
  request_quit();
}

// File > Exit ends the process at once with status 1: no REQ_QUIT, and a
// request still running on the worker is cut off where it stands.
[[noreturn]] void exit_at_once() {
  EndDialog(main_dialog.load(), 1);
  main_dialog = nullptr;
  exit(1);
}

void show_about_box() {
  DialogBoxParamW(app_instance, MAKEINTRESOURCEW(IDD_ABOUT), main_dialog.load(), about_dialog_proc,
                  0);
}

void connect_to_a_device() {
  run_device_selection();
  show_connection_state(device_ready.load(), device_info_text_copy());
}

// The worker's close finds nothing to close when no device is ready; the
// request is posted anyway so that its trace shows the user's attempt.
void disconnect() {
  if (!device_ready.load()) {
    MessageBoxW(main_dialog.load(), L"Not connected to any device", L"Error",
                MB_ICONWARNING | MB_OK);
  }
  post_request(REQ_DISCONNECT);
}

// The path is not checked here: the update reads it from the field when it
// starts and reports what is wrong with it.
void start_update() {
  trace_line("Firmware Update from local file");
  post_request(REQ_UPDATE_FROM_FILE);
}

INT_PTR on_command(WORD command) {
  switch (command) {
    case IDOK:
    case IDCANCEL:
      close_and_quit(command);
      return TRUE;
    case IDM_ABOUT:
      show_about_box();
      return FALSE;
    case IDM_OPEN_LOG_FOLDER:
      open_log_folder();
      return FALSE;
    case IDM_EXIT:
      exit_at_once();
    case IDM_CONNECT:
      connect_to_a_device();
      return FALSE;
    case IDC_SELECT_FILE:
      choose_image_file();
      return FALSE;
    case IDM_DISCONNECT:
      disconnect();
      return FALSE;
    case IDC_UPDATE:
      start_update();
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

INT_PTR CALLBACK main_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      on_init(window);
      return TRUE;
    case WM_COMMAND:
      return on_command(LOWORD(wparam));
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK about_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        EndDialog(window, LOWORD(wparam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

// A save-style chooser on purpose: a name typed without an extension gets
// ".bin", and a file that does not exist yet is accepted; the update opens
// the file and reports a missing one. Wide, so that a folder named in
// letters the PC's code page lacks is chosen whole.
bool choose_image_file() {
  wchar_t path[IMAGE_PATH_CHOOSER_SIZE] = {};
  OPENFILENAMEW request{};
  request.lStructSize = sizeof request;
  request.hwndOwner = main_dialog.load();
  request.lpstrFilter = L"Binary (*.bin)\0*.bin\0All Files (*.*)\0*.*\0";
  request.nFilterIndex = 1;
  request.lpstrFile = path;
  request.nMaxFile = IMAGE_PATH_CHOOSER_SIZE;
  request.Flags = OFN_EXPLORER | OFN_HIDEREADONLY;
  request.lpstrDefExt = L"bin";
  if (!GetSaveFileNameW(&request)) return false;
  SetDlgItemTextW(main_dialog.load(), IDC_IMAGE_PATH, path);
  return true;
}
