// Process-wide state of the Windows front end and the entry points of its
// windows. Everything here belongs to the UI thread except the window
// handles and flags that are atomics: the worker and the BLE library's
// threads read those while the UI thread opens and closes the windows.
#pragma once

#include <windows.h>

#include <atomic>

// Set once by WinMain, read on the UI thread only.
extern HINSTANCE app_instance;
extern HICON small_icon;

// Ends the message loop; set by the main window's OK and Cancel.
extern std::atomic<bool> quit_flag;
void request_quit();

// Handles of the open windows, null while the window is not open. Written
// by the UI thread, read by every thread.
extern std::atomic<HWND> main_dialog;              // dialog 173
extern std::atomic<HWND> connect_progress_dialog;  // dialog 178
extern std::atomic<HWND> device_list;              // list view 166 of dialog 165

// Set when the selection dialog ends with a device chosen (REQ_CONNECT
// already posted).
extern std::atomic<bool> device_chosen;

// Private messages of the program's own windows.
constexpr UINT WM_APP_DEVICE_ROWS = WM_APP + 1;            // the device list's model changed
constexpr UINT WM_APP_END_CONNECT_PROGRESS = WM_APP + 2;   // ends dialog 178 on its own thread
constexpr UINT WM_APP_SHOW_CONNECTION_STATE = WM_APP + 3;  // the latest connection state
// lParam: a heap std::shared_ptr to the box's request, owned by the receiver.
constexpr UINT WM_APP_SHOW_BOX = WM_APP + 4;
constexpr UINT WM_APP_SHOW_TRANSFER = WM_APP + 5;  // the transfer's latest pace

// Start-up (main.cpp).
void terminate_processes_named(const char* image_name);

// Main window (main_window.cpp).
INT_PTR CALLBACK main_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK about_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
bool choose_image_file();

// Device selection and connection progress (device_dialogs.cpp).
void run_device_selection();
INT_PTR CALLBACK select_device_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK connect_progress_dialog_proc(HWND window, UINT message, WPARAM wparam,
                                              LPARAM lparam);
bool device_list_take_selection();

// The display operations on real windows (display_win32.cpp): creates the
// hidden window that carries out, on the UI thread, what other threads hand
// to it, and installs the display sink.
// UI thread, once, before anything can display.
void install_win32_display();

// Fills the device list's columns, their pixel widths scaled to the list's
// DPI (display_win32.cpp); UI thread.
void set_up_device_list_columns(HWND list);
// Scales the columns to `new_dpi` (0: the list's own), as when the dialog
// moved to a monitor of another scale.
void rescale_device_list_columns(HWND list, int new_dpi);
