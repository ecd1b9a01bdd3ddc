// Device > Connect: the modal "Select BT Device" dialog (165), then, when a
// device was chosen, the "Connecting to device..." dialog (178) that the
// connection sequence on the worker reports into. Neither dialog has an
// owner, so the main window stays usable while they are open.
#include <windows.h>

#include <commctrl.h>

#include "app/app_state.h"
#include "app/resource.h"
#include "app/text_utf8.h"
#include "device/device_list.h"
#include "device/device_state.h"
#include "device/scan.h"
#include "display/display.h"
#include "worker/request_queue.h"

std::atomic<HWND> connect_progress_dialog{nullptr};
std::atomic<HWND> device_list{nullptr};
std::atomic<bool> device_chosen{false};

namespace {

// What the list view can hand back of a row's Mac text, terminator included.
constexpr int LIST_TEXT_SIZE = 255;

void on_select_init(HWND dialog) {
  HWND list = GetDlgItem(dialog, IDC_DEVICE_LIST);
  device_list = list;
  set_up_device_list_columns(list);
  device_list_init();
  device_chosen = false;
  connect_progress_dialog = nullptr;
}

// Rows still on their way to this list must find it closed, and later scan
// results must reach no window. However the dialog went, no scan it asked
// for runs on behind it.
void on_select_destroy() {
  abort_requested_scans();
  device_list_close();
  device_list = nullptr;
}

// Connect and a double-click alike: the scan is told to stop first, so it
// no longer competes with the connection for the radio.
void choose(HWND dialog) {
  abort_requested_scans();
  if (device_list_take_selection()) EndDialog(dialog, 1);
}

void scan() {
  device_list_clear();
  if (post_request(REQ_SCAN) == 0) scan_requested();
}

INT_PTR on_select_command(HWND dialog, WORD command) {
  switch (command) {
    case IDOK:
    case IDCANCEL:
      abort_requested_scans();
      EndDialog(dialog, 1);
      return TRUE;
    case IDC_SCAN:
      scan();
      return FALSE;
    case IDC_CONNECT:
      choose(dialog);
      return FALSE;
    default:
      return FALSE;
  }
}

// The list allows editing a row's Mac text in place, but no edit is ever
// taken: the end-of-edit notification is answered with FALSE (the default
// result of a dialog procedure), so the row keeps what the scan delivered.
INT_PTR on_select_notify(HWND dialog, const NMHDR* header) {
  if (header->idFrom == IDC_DEVICE_LIST && header->code == static_cast<UINT>(NM_DBLCLK)) {
    choose(dialog);
  }
  return FALSE;
}

}  // namespace

void run_device_selection() {
  DialogBoxParamW(app_instance, MAKEINTRESOURCEW(IDD_SELECT_DEVICE), nullptr,
                  select_device_dialog_proc, 0);
  if (device_chosen) {
    DialogBoxParamW(app_instance, MAKEINTRESOURCEW(IDD_CONNECT_PROGRESS), nullptr,
                    connect_progress_dialog_proc, 0);
  }
  connect_progress_dialog = nullptr;
}

INT_PTR CALLBACK select_device_dialog_proc(HWND dialog, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      on_select_init(dialog);
      return FALSE;
    case WM_COMMAND:
      return on_select_command(dialog, LOWORD(wparam));
    case WM_NOTIFY:
      return on_select_notify(dialog, reinterpret_cast<const NMHDR*>(lparam));
    case WM_DPICHANGED:
      // Moved to a monitor of another scale: the dialog units follow by
      // themselves, the list's pixel column widths do not.
      rescale_device_list_columns(GetDlgItem(dialog, IDC_DEVICE_LIST), HIWORD(wparam));
      return FALSE;
    case WM_DESTROY:
      on_select_destroy();
      return FALSE;
    default:
      return FALSE;
  }
}

bool device_list_take_selection() {
  HWND list = device_list.load();
  if (!list) return false;
  const int row = static_cast<int>(
      SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), MAKELPARAM(LVNI_SELECTED, 0)));
  if (row < 0) return false;
  wchar_t mac[LIST_TEXT_SIZE] = {};
  LVITEMW item{};
  item.iSubItem = 0;
  item.pszText = mac;
  item.cchTextMax = LIST_TEXT_SIZE;
  SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  // An address that does not fit is refused whole: a cut one would connect
  // to some other device, or to none, with no word to the user.
  if (set_device_address(utf8_of(mac).c_str()) != 0) {
    MessageBoxW(GetParent(list), L"Device address too long", L"Error", MB_ICONWARNING | MB_OK);
    return false;
  }
  post_request(REQ_CONNECT);
  device_chosen = true;
  return true;
}

INT_PTR CALLBACK connect_progress_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      connect_progress_dialog = dialog;
      return FALSE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        connect_progress_dialog = nullptr;
        EndDialog(dialog, 1);
        return TRUE;
      }
      return FALSE;
    case WM_APP_END_CONNECT_PROGRESS:
      // The worker asked after its final report; ending the dialog here, on
      // the thread that runs its modal loop, is what wakes that loop.
      connect_progress_dialog = nullptr;
      EndDialog(dialog, 1);
      return TRUE;
    default:
      return FALSE;
  }
}
