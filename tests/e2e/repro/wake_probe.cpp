// How long a thread that waits in a message loop takes to answer a message
// sent to it from another thread, in the situations where the program was
// seen not to answer: a main loop right after a box owned by its window was
// closed by a posted OK, a modal dialog's loop, a box's loop on a second
// thread, and a thread that shows and hides top-level windows. Each
// situation is built with plain Win32 calls only, the way the program builds
// it, and measured with bounded sends; the program prints one line per
// situation and ends with 1 when any send went unanswered within the bound.
//
//   wake_probe.exe              the windows as the prefix has them
//   wake_probe.exe --managed    the same with windows that a window manager
//                               is asked to manage (none runs on Xvfb)
//
// Under Wine on Xvfb, unmanaged windows answer every send in milliseconds
// in every situation. Managed windows without a window manager do not: the
// thread that maps or unmaps one waits up to 2 s for a manager that never
// answers, and answers nothing meanwhile, so a box closed on the UI thread
// holds back the next write of the worker by that long.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

constexpr UINT ANSWER_LIMIT_MS = 2000;
constexpr int ROUNDS = 20;
constexpr const char* APP_DEFAULTS_KEY = "Software\\Wine\\AppDefaults\\wake_probe.exe\\X11 Driver";

struct tally {
  int sends = 0, unanswered = 0;
  DWORD slowest_ms = 0;

  void send(HWND window, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
    const ULONGLONG sent = GetTickCount64();
    DWORD_PTR result = 0;
    ++sends;
    if (!SendMessageTimeoutA(window, message, wparam, lparam, SMTO_NORMAL, ANSWER_LIMIT_MS,
                             &result)) {
      ++unanswered;
    }
    slowest_ms = std::max(slowest_ms, static_cast<DWORD>(GetTickCount64() - sent));
  }
  void report(const char* situation) const {
    printf("%-44s %4d sends, %d unanswered within %u ms, slowest %lu ms\n", situation, sends,
           unanswered, ANSWER_LIMIT_MS, static_cast<unsigned long>(slowest_ms));
  }
};

bool wait_for(const std::atomic<bool>& flag, DWORD limit_ms) {
  const ULONGLONG end = GetTickCount64() + limit_ms;
  while (!flag && GetTickCount64() < end) Sleep(1);
  return flag;
}

// A visible top-level window of the given thread with exactly this title,
// read from the window manager: GetWindowText on a window of this process
// would send to its thread with no bound.
HWND find_window(DWORD thread, const wchar_t* title, DWORD limit_ms) {
  struct search {
    const wchar_t* title;
    HWND found;
  } s{title, nullptr};
  const ULONGLONG end = GetTickCount64() + limit_ms;
  while (!s.found && GetTickCount64() < end) {
    EnumThreadWindows(
        thread,
        [](HWND window, LPARAM context) -> BOOL {
          auto* s = reinterpret_cast<search*>(context);
          wchar_t text[64] = {};
          InternalGetWindowText(window, text, 64);
          if (!IsWindowVisible(window) || wcscmp(text, s->title) != 0) return TRUE;
          s->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&s));
    if (!s.found) Sleep(1);
  }
  return s.found;
}

// The UI thread: a main window with a status line, a plain message loop.
// Commands posted to the main window run a box owned by it, a modal dialog,
// or a show-and-hide of a popup, as the program's UI thread does.
constexpr UINT RUN_OWNED_BOX = WM_APP + 1;
constexpr UINT RUN_DIALOG = WM_APP + 2;
constexpr UINT SHOW_AND_HIDE = WM_APP + 3;

std::atomic<HWND> main_window{nullptr};
std::atomic<HWND> status_line{nullptr};
std::atomic<bool> box_returned{false};

INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_COMMAND && LOWORD(wparam) == IDOK) EndDialog(dialog, IDOK);
  return message == WM_INITDIALOG;
}

void run_dialog(HWND owner) {
  // A template of one caption and no controls: "Probe dialog".
  alignas(4) WORD words[64] = {};
  auto* header = reinterpret_cast<DLGTEMPLATE*>(words);
  header->style = WS_POPUP | WS_CAPTION | WS_VISIBLE | DS_MODALFRAME;
  header->cx = 120;
  header->cy = 40;
  WORD* at = reinterpret_cast<WORD*>(header + 1);
  *at++ = 0;  // no menu
  *at++ = 0;  // default class
  for (const char* c = "Probe dialog"; *c; ++c) *at++ = static_cast<WORD>(*c);
  *at++ = 0;
  DialogBoxIndirectParamA(GetModuleHandleA(nullptr), header, owner, dialog_proc, 0);
}

LRESULT CALLBACK main_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case RUN_OWNED_BOX:
      MessageBoxA(window, "Not connected to any device", "Owned box", MB_OK | MB_ICONWARNING);
      box_returned = true;
      return 0;
    case RUN_DIALOG:
      run_dialog(nullptr);
      return 0;
    case SHOW_AND_HIDE: {
      HWND popup = CreateWindowExA(0, "STATIC", "popup", WS_POPUP | WS_CAPTION, 10, 10, 100, 60,
                                   nullptr, nullptr, nullptr, nullptr);
      ShowWindow(popup, SW_SHOWNORMAL);
      ShowWindow(popup, SW_HIDE);
      DestroyWindow(popup);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

DWORD WINAPI ui_thread(void*) {
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = main_proc;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "WakeProbeMain";
  RegisterClassA(&window_class);
  HWND window = CreateWindowExA(0, "WakeProbeMain", "Probe main", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                50, 50, 300, 200, nullptr, nullptr, nullptr, nullptr);
  status_line = CreateWindowExA(0, "STATIC", "Idle", WS_CHILD | WS_VISIBLE, 5, 5, 200, 20, window,
                                nullptr, nullptr, nullptr);
  main_window = window;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

// The worker's write of a status text, as the display did it before its
// writes were bounded: read the text, set it when it differs.
void write_status_as_worker(tally& t, const char* text) {
  char current[1000] = {};
  t.send(status_line, WM_GETTEXT, sizeof current, reinterpret_cast<LPARAM>(current));
  if (strcmp(current, text) != 0)
    t.send(status_line, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

DWORD WINAPI unowned_box_thread(void*) {
  for (int i = 0; i < ROUNDS; ++i) {
    MessageBoxA(nullptr, "Update from local file error", "Worker box", MB_OK | MB_ICONWARNING);
  }
  return 0;
}

int probe() {
  DWORD ui_id = 0;
  CreateThread(nullptr, 0, ui_thread, nullptr, 0, &ui_id);
  const ULONGLONG end = GetTickCount64() + 10000;
  while (!main_window && GetTickCount64() < end) Sleep(1);
  if (!main_window) return 2;
  int unanswered = 0;

  tally idle;
  for (int i = 0; i < 400; ++i) idle.send(main_window, WM_NULL);
  idle.report("main loop, idle");
  unanswered += idle.unanswered;

  // A second thread writes the status line while the box goes away, with
  // no other input to the UI thread.
  tally after_box;
  for (int i = 0; i < ROUNDS; ++i) {
    box_returned = false;
    PostMessageA(main_window, RUN_OWNED_BOX, 0, 0);
    HWND box = find_window(ui_id, L"Owned box", 5000);
    if (!box) return 2;
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    write_status_as_worker(after_box, i % 2 ? "Disconnecting BT..." : "Idle");
    if (!wait_for(box_returned, 10000)) return 2;
  }
  after_box.report("main loop, an owned box closed by posted OK");
  unanswered += after_box.unanswered;

  tally dialog;
  for (int i = 0; i < ROUNDS; ++i) {
    PostMessageA(main_window, RUN_DIALOG, 0, 0);
    HWND box = find_window(ui_id, L"Probe dialog", 5000);
    if (!box) return 2;
    for (int k = 0; k < 10; ++k) dialog.send(box, WM_GETTEXTLENGTH);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    write_status_as_worker(dialog, i % 2 ? "Connecting BT..." : "Idle");
    while (IsWindow(box)) Sleep(1);
  }
  dialog.report("modal dialog loop, and while it ends");
  unanswered += dialog.unanswered;

  tally worker_box;
  DWORD box_thread_id = 0;
  HANDLE box_thread = CreateThread(nullptr, 0, unowned_box_thread, nullptr, 0, &box_thread_id);
  for (int i = 0; i < ROUNDS; ++i) {
    HWND box = find_window(box_thread_id, L"Worker box", 5000);
    if (!box) return 2;
    for (int k = 0; k < 10; ++k) {
      worker_box.send(box, WM_GETTEXTLENGTH);
      worker_box.send(main_window, WM_GETTEXTLENGTH);
    }
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    while (IsWindow(box)) Sleep(1);
  }
  WaitForSingleObject(box_thread, 10000);
  worker_box.report("unowned box loop on a second thread");
  unanswered += worker_box.unanswered;

  tally show_hide;
  for (int i = 0; i < ROUNDS / 4; ++i) {
    PostMessageA(main_window, SHOW_AND_HIDE, 0, 0);
    write_status_as_worker(show_hide, i % 2 ? "Progress 1\n" : "Idle");
  }
  show_hide.report("a thread that shows and hides a window");
  unanswered += show_hide.unanswered;

  PostMessageA(main_window, WM_CLOSE, 0, 0);
  return unanswered ? 1 : 0;
}

// Runs this program again, with its own windows managed (read by Wine's
// X11 driver when a process starts).
int probe_managed(const char* self) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, APP_DEFAULTS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return 2;
  }
  RegSetValueExA(key, "Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>("Y"), 2);
  RegCloseKey(key);
  std::string command = std::string("\"") + self + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  DWORD status = 2;
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &info)) {
    WaitForSingleObject(info.hProcess, INFINITE);
    GetExitCodeProcess(info.hProcess, &status);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  RegDeleteKeyA(HKEY_CURRENT_USER, APP_DEFAULTS_KEY);
  return static_cast<int>(status);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc > 1 && strcmp(argv[1], "--managed") == 0) return probe_managed(argv[0]);
  return probe();
}
