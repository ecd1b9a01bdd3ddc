// The display operations on real windows. The worker and the BLE library's
// threads call them; every window belongs to the UI thread.
//
// No caller ever waits for the UI thread without a bound. Each text,
// progress value and enabled state is one message sent with a time-out
// (UI_ANSWER_LIMIT_MS), carried out by the UI thread in any of its message
// loops; what takes more than one message (the connection state) is one
// message to the errand window below, which does the rest on the UI thread.
// A UI thread that does not answer in time costs the caller that long and
// the change is dropped; one that has fetched no message for 5 s costs
// nothing more, since the system then fails the send at once (abort if
// hung).
// Plain SendMessage, EnableWindow and a box owned by a window of the UI
// thread all wait for the UI thread with no end, so none of them is used
// here off the UI thread.
//
// Texts cross in UTF-8 and go to the windows as UTF-16, so that a file name
// or a device name outside the PC's code page shows and reads back whole.
#include <windows.h>

#include <commctrl.h>
#include <shobjidl.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "app/app_state.h"
#include "app/resource.h"
#include "app/text_utf8.h"
#include "device/device_list.h"
#include "device/firmware_update.h"
#include "device/transfer_meter.h"
#include "display/display.h"
#include "platform/clock.h"

namespace {

// The longest a worker or library thread waits for the UI thread to carry
// out one window operation, or to start showing a box. Longer than any
// pause of a working UI thread (a window manager that is slow to map or
// unmap a window holds it for up to 2 s), short enough that a stuck UI
// delays an update by seconds, not for good.
constexpr UINT UI_ANSWER_LIMIT_MS = 3000;

// How long the connection-progress dialog stays up after the final report,
// so that its last text can be read. The reporting thread waits meanwhile.
constexpr uint32_t CONNECT_PROGRESS_LINGER_MS = 800;

constexpr size_t CURRENT_TEXT_SIZE = 1000;
constexpr const char* NOT_CONNECTED_TEXT = "Device not connected";
constexpr const wchar_t* ERRAND_WINDOW_CLASS = L"TavrenUpdateUiErrands";
// Rows the list view takes in one turn of the UI thread. A flood of new
// devices is shown in turns, so that messages sent to the UI thread meanwhile
// (a user's clicks, a reader of the list) wait for one turn, not the flood.
constexpr int DEVICE_ROWS_PER_TURN = 25;
// Re-measurements of a text that keeps growing while it is read.
constexpr int WHOLE_TEXT_ATTEMPTS = 3;
// Widths of the device list's columns are given for 96 dots per inch.
constexpr int BASE_DPI = 96;

// The main window's controls that only make sense with a device ready, in
// this order, ended by 0. 185, 40000, 40001 and 40003 name no control of
// dialog 173; switching them has no effect.
constexpr int connection_controls[] = {
    IDC_DEVICE_INFO, IDC_COMMAND_RESULT, 40000,           40001, 40003,
    IDC_UPDATE,      IDC_IMAGE_PATH,     IDC_SELECT_FILE, 0};

struct device_list_column {
  const wchar_t* header;
  int width;
};
constexpr device_list_column device_list_columns[] = {{L"Mac", 120}, {L"Name", 160}, {L"RSSI", 60}};

// The UI thread's hidden window for work that other threads hand to it:
// device list catch-ups, the connection state, the transfer's pace, boxes
// owned by the main window. Lives as long as the process.
std::atomic<HWND> errand_window{nullptr};
std::atomic<DWORD> ui_thread_id{0};

bool on_ui_thread() {
  return GetCurrentThreadId() == ui_thread_id.load();
}

HWND window_of(display_window window) {
  switch (window) {
    case display_window::main:
      return main_dialog.load();
    case display_window::connect_progress:
      return connect_progress_dialog.load();
    default:
      return nullptr;
  }
}

// One message to a window of the UI thread, answered within the bound or
// given up. On the UI thread itself it is a plain call.
bool send_bounded(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                  LRESULT* result = nullptr) {
  if (!window) return false;
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                           UI_ANSWER_LIMIT_MS, &answer)) {
    return false;
  }
  if (result) *result = static_cast<LRESULT>(answer);
  return true;
}

// Memory that a sent message points into. A UI thread that did not answer
// in time may still carry the message out later and read or write this
// memory, so it is then left to it for good: a few bytes lost per unanswered
// message instead of a write into freed memory.
class message_memory {
 public:
  explicit message_memory(size_t characters) : text_(new wchar_t[characters]()) {}
  ~message_memory() {
    if (!abandoned_) delete[] text_;
  }
  message_memory(const message_memory&) = delete;
  message_memory& operator=(const message_memory&) = delete;

  wchar_t* data() const { return text_; }
  LPARAM address() const { return reinterpret_cast<LPARAM>(text_); }
  // The message it went with was not answered.
  void abandon() { abandoned_ = true; }

 private:
  wchar_t* text_;
  bool abandoned_ = false;
};

bool send_text(HWND control, const std::string& text) {
  const std::wstring wide = wide_of(text);
  message_memory copy(wide.size() + 1);
  memcpy(copy.data(), wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
  if (send_bounded(control, WM_SETTEXT, 0, copy.address())) return true;
  copy.abandon();
  return false;
}

// The control's text, cut to `characters` - 1 UTF-16 units; false when the
// UI thread did not answer.
bool read_wide_text(HWND control, size_t characters, std::wstring& text) {
  message_memory buffer(characters);
  LRESULT got = 0;
  if (!send_bounded(control, WM_GETTEXT, characters, buffer.address(), &got)) {
    buffer.abandon();
    return false;
  }
  text.assign(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
  return true;
}

bool read_text(HWND control, size_t characters, std::string& text) {
  std::wstring wide;
  if (!read_wide_text(control, characters, wide)) return false;
  text = utf8_of(wide);
  return true;
}

// Reads the whole text of an edit control however long it is, so that a
// caller can refuse a text that is too long instead of getting it cut.
// Empty when the UI thread does not answer.
std::string whole_window_text(HWND control) {
  for (int attempt = 0; attempt < WHOLE_TEXT_ATTEMPTS; ++attempt) {
    LRESULT length = 0;
    if (!send_bounded(control, WM_GETTEXTLENGTH, 0, 0, &length) || length <= 0) return {};
    // One spare unit tells a text that grew since it was measured.
    std::wstring text;
    if (!read_wide_text(control, static_cast<size_t>(length) + 2, text)) return {};
    if (text.size() <= static_cast<size_t>(length)) return utf8_of(text);
  }
  return {};
}

void set_progress_bar(HWND window, int control_id, uint32_t position) {
  HWND bar = window ? GetDlgItem(window, control_id) : nullptr;
  if (!bar) return;
  // A bar that did not take its range will not take the rest either.
  if (!send_bounded(bar, PBM_SETRANGE, 0, MAKELPARAM(0, PROGRESS_FULL))) return;
  if (!send_bounded(bar, PBM_SETSTEP, 1, 0)) return;
  send_bounded(bar, PBM_SETPOS, position, 0);
}

// The latest of something another thread asked the UI thread to show; the
// UI thread shows whatever is latest when it gets to it, so requests that
// pile up collapse into one.
template <typename Value>
class latest_request {
 public:
  // True when a wake-up must be handed to the UI thread (none pending).
  bool store(const Value& value) {
    std::lock_guard<std::mutex> hold(lock_);
    value_ = value;
    const bool wake = !pending_;
    pending_ = true;
    return wake;
  }
  Value take() {
    std::lock_guard<std::mutex> hold(lock_);
    pending_ = false;
    return value_;
  }
  void withdraw() {
    std::lock_guard<std::mutex> hold(lock_);
    pending_ = false;
  }

 private:
  std::mutex lock_;
  Value value_{};
  bool pending_ = false;
};

struct connection_state_request {
  bool connected = false;
  std::string device_info;
};

struct transfer_request {
  transfer_progress progress;
  bool running = false;
};

// Never destroyed: the worker may ask until the process ends.
latest_request<connection_state_request>& connection_state =
    *new latest_request<connection_state_request>;
latest_request<transfer_request>& transfer_shown = *new latest_request<transfer_request>;

// UI thread.
void show_connection_state_here() {
  const connection_state_request state = connection_state.take();
  HWND target = main_dialog.load();
  if (!target) return;
  for (const int* id = connection_controls; *id; ++id) {
    if (HWND control = GetDlgItem(target, *id)) EnableWindow(control, state.connected);
  }
  const std::string text = state.connected ? state.device_info : NOT_CONNECTED_TEXT;
  SetDlgItemTextW(target, IDC_DEVICE_INFO, wide_of(text).c_str());
}

// The taskbar button's progress, where the shell offers it; made on the UI
// thread, used there only. Null where there is none: then the button simply
// shows no progress.
ITaskbarList3* taskbar = nullptr;

void create_taskbar_list() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
  ITaskbarList3* list = nullptr;
  if (FAILED(
          CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&list))))
    return;
  if (FAILED(list->HrInit())) {
    list->Release();
    return;
  }
  taskbar = list;
}

// UI thread: the pace next to the progress bar, and the taskbar button.
void show_transfer_here() {
  const transfer_request shown = transfer_shown.take();
  HWND target = main_dialog.load();
  if (!target) return;
  const std::string text = shown.running ? rate_and_time_left_text(shown.progress) : "";
  SetDlgItemTextW(target, IDC_TRANSFER_RATE, wide_of(text).c_str());
  if (!taskbar) return;
  if (!shown.running || shown.progress.total_bytes == 0) {
    taskbar->SetProgressState(target, TBPF_NOPROGRESS);
    return;
  }
  taskbar->SetProgressState(target, TBPF_NORMAL);
  taskbar->SetProgressValue(target, shown.progress.sent_bytes, shown.progress.total_bytes);
}

void set_list_subitem(HWND list, int index, int subitem, const std::string& text) {
  std::wstring wide = wide_of(text);
  LVITEMW item{};
  item.iSubItem = subitem;
  item.pszText = wide.data();
  SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

// UI thread: the list view catches up with the device list's model. Rows
// are inserted only at the end, in order, so the view's row count says
// which rows it has; a row that could not be inserted stops the turn, and
// the next turn starts again from the view's count.
void catch_up_device_rows() {
  HWND list = device_list.load();
  const int shown = list ? static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) : 0;
  const device_list_changes changes = device_list_take_changes(shown, DEVICE_ROWS_PER_TURN);
  if (changes.more) device_list_continue_catch_up();
  if (!list) return;
  int count = shown;
  for (const device_list_row& row : changes.rows) {
    if (row.index >= count) {
      std::wstring mac = wide_of(row.mac);
      LVITEMW item{};
      item.mask = LVIF_TEXT;
      item.iItem = row.index;
      item.pszText = mac.data();
      if (row.index != count ||
          SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)) !=
              static_cast<LRESULT>(row.index)) {
        break;
      }
      ++count;
    }
    set_list_subitem(list, row.index, 1, row.name);
    set_list_subitem(list, row.index, 2, row.rssi);
  }
  if (changes.latest >= 0 && changes.latest < count) {
    SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(changes.latest), TRUE);
  }
}

UINT box_style(box_icon icon) {
  switch (icon) {
    case box_icon::warning:
      return MB_OK | MB_ICONWARNING;
    case box_icon::information:
      return MB_OK | MB_ICONINFORMATION;
    default:
      return MB_OK;
  }
}

void show_box(HWND owner, const std::string& text, const std::string& caption, UINT style) {
  MessageBoxW(owner, wide_of(text).c_str(), wide_of(caption).c_str(), style);
}

// A box that another thread asks the UI thread to show, owned by the main
// window. Shared by both threads: whichever lets go last frees it.
struct box_request {
  enum state_t { asked, shown, withdrawn, closed };
  std::string text, caption;
  UINT style = MB_OK;
  std::mutex lock;
  std::condition_variable changed;
  state_t state = asked;

  // UI thread: false when the asker gave up waiting for the box to appear.
  bool start_showing() {
    std::lock_guard<std::mutex> hold(lock);
    if (state == withdrawn) return false;
    state = shown;
    changed.notify_all();
    return true;
  }
  void end() {
    std::lock_guard<std::mutex> hold(lock);
    state = closed;
    changed.notify_all();
  }
};

// UI thread.
void show_requested_box(std::shared_ptr<box_request> request) {
  if (!request->start_showing()) return;
  show_box(main_dialog.load(), request->text, request->caption, request->style);
  request->end();
}

// A box owned by the main window is shown by the UI thread: a box owned by
// another thread's window makes its own thread send to the owner (to
// disable it, to tell it the box is idle) with no end to the wait. The
// caller waits for the user to close the box, but only a bounded time for
// the UI thread to start showing it; past that it shows the box itself,
// owned by nobody, so that the message still reaches the user.
void message_box_through_ui(const char* text, const char* caption, UINT style) {
  auto request = std::make_shared<box_request>();
  request->text = text;
  request->caption = caption;
  request->style = style;
  auto* handed = new std::shared_ptr<box_request>(request);
  if (PostMessageW(errand_window.load(), WM_APP_SHOW_BOX, 0, reinterpret_cast<LPARAM>(handed))) {
    std::unique_lock<std::mutex> hold(request->lock);
    request->changed.wait_for(hold, std::chrono::milliseconds(UI_ANSWER_LIMIT_MS),
                              [&] { return request->state != box_request::asked; });
    if (request->state != box_request::asked) {
      request->changed.wait(hold, [&] { return request->state == box_request::closed; });
      return;
    }
    request->state = box_request::withdrawn;
  } else {
    delete handed;
  }
  show_box(nullptr, text, caption, style);
}

LRESULT CALLBACK errand_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_APP_DEVICE_ROWS:
      catch_up_device_rows();
      return 0;
    case WM_APP_SHOW_CONNECTION_STATE:
      show_connection_state_here();
      return 0;
    case WM_APP_SHOW_TRANSFER:
      show_transfer_here();
      return 0;
    case WM_APP_SHOW_BOX: {
      std::unique_ptr<std::shared_ptr<box_request>> request(
          reinterpret_cast<std::shared_ptr<box_request>*>(lparam));
      show_requested_box(*request);
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

HWND create_errand_window() {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = errand_window_proc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = ERRAND_WINDOW_CLASS;
  RegisterClassW(&window_class);
  return CreateWindowExW(0, ERRAND_WINDOW_CLASS, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
}

// The path field's whole text when the update starts, read with bounded
// sends (the worker calls it).
std::string read_path_field() {
  HWND target = main_dialog.load();
  HWND field = target ? GetDlgItem(target, IDC_IMAGE_PATH) : nullptr;
  return field ? whole_window_text(field) : std::string();
}

class win32_display final : public display_sink {
 public:
  void set_text_if_different(display_window window, int control_id, const char* text) override {
    HWND target = window_of(window);
    HWND control = target && text ? GetDlgItem(target, control_id) : nullptr;
    if (!control) return;
    std::string current;
    // A text that could not be read is set all the same: the same text
    // again changes nothing a user sees.
    if (read_text(control, CURRENT_TEXT_SIZE, current) && current == text) return;
    send_text(control, text);
  }

  void set_progress(display_window window, int control_id, uint32_t position) override {
    set_progress_bar(window_of(window), control_id, position);
  }

  void show_connection_state(bool connected, const std::string& device_info) override {
    connection_state.store({connected, device_info});
    if (on_ui_thread()) {
      show_connection_state_here();
      return;
    }
    if (!send_bounded(errand_window.load(), WM_APP_SHOW_CONNECTION_STATE, 0, 0))
      connection_state.withdraw();
  }

  void show_transfer_progress(const transfer_progress& progress, bool running) override {
    if (!transfer_shown.store({progress, running})) return;
    if (!PostMessageW(errand_window.load(), WM_APP_SHOW_TRANSFER, 0, 0)) transfer_shown.withdraw();
  }

  bool show_connect_progress(uint32_t position, const char* text) override {
    HWND dialog = connect_progress_dialog.load();
    if (!dialog) return false;
    set_progress_bar(dialog, IDC_CONNECT_PROGRESS, position);
    if (HWND step = GetDlgItem(dialog, IDC_CONNECT_STEP)) send_text(step, text);
    return true;
  }

  void end_connect_progress() override {
    sleep_ms(CONNECT_PROGRESS_LINGER_MS);
    if (HWND dialog = connect_progress_dialog.load()) {
      PostMessageW(dialog, WM_APP_END_CONNECT_PROGRESS, 0, 0);
    }
  }

  bool device_rows_changed() override {
    HWND receiver = errand_window.load();
    return receiver && PostMessageW(receiver, WM_APP_DEVICE_ROWS, 0, 0);
  }

  // UI thread.
  void clear_device_rows() override {
    if (HWND list = device_list.load()) SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  }

  void message_box(display_window owner, const char* text, const char* caption,
                   box_icon icon) override {
    HWND owner_window = owner == display_window::main ? main_dialog.load() : nullptr;
    if (owner_window && !on_ui_thread()) {
      message_box_through_ui(text, caption, box_style(icon));
      return;
    }
    show_box(owner_window, text, caption, box_style(icon));
  }
};

using dpi_for_window_function = UINT(WINAPI*)(HWND);

// Windows 10 1607 and later know a window's own DPI; before, every window
// has the system's.
int dpi_of(HWND window) {
  static const auto dpi_for_window = reinterpret_cast<dpi_for_window_function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (dpi_for_window) {
    if (const UINT dpi = dpi_for_window(window)) return static_cast<int>(dpi);
  }
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : BASE_DPI;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : BASE_DPI;
}

}  // namespace

void install_win32_display() {
  ui_thread_id = GetCurrentThreadId();
  errand_window = create_errand_window();
  create_taskbar_list();
  set_update_path_reader(read_path_field);
  // Never destroyed: the worker and the BLE threads may display until the
  // very end of the process.
  set_display_sink(new win32_display);
}

void set_up_device_list_columns(HWND list) {
  // A mask of 0 sets every extended style: full-row selection and nothing else.
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  const int dpi = dpi_of(list);
  int subitem = 0;
  for (const device_list_column& column : device_list_columns) {
    LVCOLUMNW header{};
    header.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    header.fmt = LVCFMT_LEFT;
    header.cx = MulDiv(column.width, dpi, BASE_DPI);
    header.pszText = const_cast<wchar_t*>(column.header);
    header.iSubItem = subitem;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(subitem),
                 reinterpret_cast<LPARAM>(&header));
    ++subitem;
  }
}

void rescale_device_list_columns(HWND list, int new_dpi) {
  const int dpi = new_dpi > 0 ? new_dpi : dpi_of(list);
  for (int subitem = 0; subitem < static_cast<int>(std::size(device_list_columns)); ++subitem) {
    SendMessageW(list, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(subitem),
                 MulDiv(device_list_columns[subitem].width, dpi, BASE_DPI));
  }
}
