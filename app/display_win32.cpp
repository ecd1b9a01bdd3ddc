// The display operations on real windows. The worker and the BLE library's
// threads call them; every window belongs to the UI thread. Texts, progress
// and enabled states go through the window manager's sent messages, which
// the UI thread handles in any of its message loops (main, modal dialog,
// message box), so the caller waits only for the UI thread, and the UI
// thread never waits for the worker. Device rows are only posted: their
// caller holds the device list's lock, which the UI thread takes too.
#include <windows.h>

#include <commctrl.h>

#include <cstring>
#include <memory>
#include <string>

#include "app/app_state.h"
#include "device/device_state.h"
#include "display/display.h"

namespace {

constexpr size_t CURRENT_TEXT_SIZE = 1000;
constexpr const char* NOT_CONNECTED_TEXT = "Device not connected";
constexpr const char* ROW_WINDOW_CLASS = "TavrenUpdateDeviceRows";

// The main window's controls that only make sense with a device ready, in
// this order, ended by 0. 185, 40000, 40001 and 40003 name no control of
// dialog 173; switching them has no effect.
constexpr int connection_controls[] = {
    IDC_DEVICE_INFO, IDC_COMMAND_RESULT, 40000,           40001, 40003,
    IDC_UPDATE,      IDC_IMAGE_PATH,     IDC_SELECT_FILE, 0};

struct device_list_column {
  const char* header;
  int width;
};
constexpr device_list_column device_list_columns[] = {{"Mac", 120}, {"Name", 160}, {"RSSI", 60}};

// One scan result on its way to the list view.
struct device_row {
  uint64_t generation;
  int index;
  bool is_new;
  std::string mac, name, rssi;
};

// Receives device rows on the UI thread; lives as long as the process, so
// a row is always delivered and freed, whichever dialog is open.
std::atomic<HWND> row_window{nullptr};

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

void set_list_subitem(HWND list, int index, int subitem, const std::string& text) {
  LVITEMA item{};
  item.iSubItem = subitem;
  item.pszText = const_cast<char*>(text.c_str());
  SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

// UI thread. A row of a list that was cleared or closed since it was posted
// is dropped: its index no longer means anything.
void show_device_row(const device_row& row) {
  HWND list = device_list.load();
  if (!list || !device_list_generation_is_current(row.generation)) return;
  if (row.is_new) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = row.index;
    item.pszText = const_cast<char*>(row.mac.c_str());
    SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  }
  set_list_subitem(list, row.index, 1, row.name);
  set_list_subitem(list, row.index, 2, row.rssi);
  SendMessageA(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row.index), TRUE);
}

LRESULT CALLBACK row_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_APP_DEVICE_ROW) {
    std::unique_ptr<device_row> row(reinterpret_cast<device_row*>(lparam));
    show_device_row(*row);
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

HWND create_row_window() {
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = row_window_proc;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = ROW_WINDOW_CLASS;
  RegisterClassA(&window_class);
  return CreateWindowExA(0, ROW_WINDOW_CLASS, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
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

// Reads the whole text of an edit control however long it is, so that a
// caller can refuse a text that is too long instead of getting it cut.
std::string whole_window_text(HWND control) {
  for (;;) {
    const LRESULT length = SendMessageA(control, WM_GETTEXTLENGTH, 0, 0);
    if (length <= 0) return {};
    // One spare byte tells a text that grew since it was measured.
    std::string text(static_cast<size_t>(length) + 2, '\0');
    const int got = GetWindowTextA(control, text.data(), static_cast<int>(text.size()));
    if (got <= length) {
      text.resize(static_cast<size_t>(got > 0 ? got : 0));
      return text;
    }
  }
}

class win32_display final : public display_sink {
 public:
  void set_text_if_different(display_window window, int control_id, const char* text) override {
    HWND target = window_of(window);
    if (!target || !text) return;
    char current[CURRENT_TEXT_SIZE] = {};
    GetDlgItemTextA(target, control_id, current, sizeof current);
    if (strcmp(current, text) != 0) SetDlgItemTextA(target, control_id, text);
  }

  void set_progress(display_window window, int control_id, uint32_t position) override {
    set_progress_bar(window_of(window), control_id, position);
  }

  void show_connection_state(bool connected) override {
    HWND target = main_dialog.load();
    if (!target) return;
    for (const int* id = connection_controls; *id; ++id) {
      if (HWND control = GetDlgItem(target, *id)) EnableWindow(control, connected);
    }
    const std::string text = connected ? device_info_text_copy() : NOT_CONNECTED_TEXT;
    SetDlgItemTextA(target, IDC_DEVICE_INFO, text.c_str());
  }

  bool show_connect_progress(uint32_t position, const char* text) override {
    HWND dialog = connect_progress_dialog.load();
    if (!dialog) return false;
    set_progress_bar(dialog, IDC_CONNECT_PROGRESS, position);
    SetDlgItemTextA(dialog, IDC_CONNECT_STEP, text);
    return true;
  }

  void end_connect_progress() override {
    if (HWND dialog = connect_progress_dialog.load()) {
      PostMessageA(dialog, WM_APP_END_CONNECT_PROGRESS, 0, 0);
    }
  }

  void put_device_row(uint64_t generation, int index, bool is_new, const char* mac,
                      const char* name, const char* rssi_text) override {
    HWND receiver = row_window.load();
    if (!receiver) return;
    auto* row = new device_row{
        generation, index, is_new, mac ? mac : "", name ? name : "", rssi_text ? rssi_text : ""};
    if (!PostMessageA(receiver, WM_APP_DEVICE_ROW, 0, reinterpret_cast<LPARAM>(row))) delete row;
  }

  void clear_device_rows() override {
    if (HWND list = device_list.load()) SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
  }

  void message_box(display_window owner, const char* text, const char* caption,
                   box_icon icon) override {
    HWND owner_window = owner == display_window::main ? main_dialog.load() : nullptr;
    MessageBoxA(owner_window, text, caption, box_style(icon));
  }

  std::string read_path_field() override {
    HWND target = main_dialog.load();
    if (!target) return {};
    HWND field = GetDlgItem(target, IDC_IMAGE_PATH);
    return field ? whole_window_text(field) : std::string();
  }

 private:
  static void set_progress_bar(HWND window, int control_id, uint32_t position) {
    if (!window) return;
    SendDlgItemMessageA(window, control_id, PBM_SETRANGE, 0, MAKELPARAM(0, PROGRESS_FULL));
    SendDlgItemMessageA(window, control_id, PBM_SETSTEP, 1, 0);
    SendDlgItemMessageA(window, control_id, PBM_SETPOS, position, 0);
  }
};

}  // namespace

void install_win32_display() {
  row_window = create_row_window();
  // Never destroyed: the worker and the BLE threads may display until the
  // very end of the process.
  set_display_sink(new win32_display);
}

void set_up_device_list_columns(HWND list) {
  // A mask of 0 sets every extended style: full-row selection and nothing else.
  SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  int subitem = 0;
  for (const device_list_column& column : device_list_columns) {
    LVCOLUMNA header{};
    header.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    header.fmt = LVCFMT_LEFT;
    header.cx = column.width;
    header.pszText = const_cast<char*>(column.header);
    header.iSubItem = subitem;
    SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(subitem),
                 reinterpret_cast<LPARAM>(&header));
    ++subitem;
  }
}
