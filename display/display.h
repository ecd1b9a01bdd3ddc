// The one seam between the code that knows what to show (the worker and the
// BLE library's threads) and whatever shows it. The Windows program
// implements display_sink with real windows (app/); native tests implement
// it with a recorder that keeps everything in order.
//
// Contract for every display_sink method, unless it says otherwise:
//  - it may be called from the worker thread and from BLE library threads;
//  - it must never wait for the worker (the worker may be the caller), and
//    must not hold a lock of its own while it waits for the UI thread;
//  - a window that is not open makes it a no-op.
#pragma once

#include <cstdint>
#include <string>

#include "display/control_ids.h"
#include "platform/trace.h"

// The top of every progress bar, and the report value that ends the
// connection-progress dialog.
constexpr uint32_t PROGRESS_FULL = 1000;

enum class display_window {
  none,              // no window: an unowned message box
  main,              // the main window (dialog 173)
  connect_progress,  // the connection-progress dialog (178)
};

enum class box_icon { none, warning, information };

class display_sink {
 public:
  virtual ~display_sink() = default;

  // Sets the control's text when it differs from what it shows.
  virtual void set_text_if_different(display_window window, int control_id,
                                     const char* text) = 0;

  // Puts a progress bar on 0..PROGRESS_FULL and its position.
  virtual void set_progress(display_window window, int control_id, uint32_t position) = 0;

  // Enables or disables the main window's connection-dependent controls and
  // shows the device information (connected) or "Device not connected".
  // Also called on the UI thread.
  virtual void show_connection_state(bool connected) = 0;

  // Shows a step in the connection-progress dialog: its bar at `position`
  // and its step text. False when that dialog is not open (the report is
  // dropped).
  virtual bool show_connect_progress(uint32_t position, const char* text) = 0;

  // Asks the connection-progress dialog to close; the dialog is ended on its
  // own thread, so this returns without waiting.
  virtual void end_connect_progress() = 0;

  // One row of the device list, in list order. `generation` identifies the
  // list's content since its last clear: a row of an older generation must
  // be dropped. `is_new` rows are inserted at `index` with `mac` as item
  // text; every row then gets its Name and RSSI texts and is scrolled into
  // view. Called with the device list's lock held: must not block.
  virtual void put_device_row(uint64_t generation, int index, bool is_new, const char* mac,
                              const char* name, const char* rssi_text) = 0;

  // Empties the list view; called on the UI thread by device_list_clear.
  virtual void clear_device_rows() = 0;

  // A modal message box with an OK button; returns when the user closed it.
  // Called on the worker thread and, at start-up, on the UI thread.
  virtual void message_box(display_window owner, const char* text, const char* caption,
                           box_icon icon) = 0;

  // The whole text of the main window's path field (control 40040), however
  // long; empty when the window is not open.
  virtual std::string read_path_field() = 0;
};

// Installs the process-wide sink (null: nothing is shown anywhere). The
// sink must outlive every thread that may still display something.
void set_display_sink(display_sink* sink);
display_sink& display();

// The operations the worker and the BLE threads call.
void set_text_if_different(display_window window, int control_id, const char* text);
void status_printf(const char* format, ...) TRACE_PRINTF_FORMAT(1, 2);
void set_progress(display_window window, int control_id, uint32_t position);
void show_connection_state(bool connected);
void report_connect_progress(uint32_t position, const char* format, ...)
    TRACE_PRINTF_FORMAT(2, 3);
void message_box(display_window owner, const char* text, const char* caption, box_icon icon);

// The device list of the device selection dialog. Rows keep the order in
// which devices were first seen; a MAC seen again (letter case ignored)
// keeps its row and gets the new Name and RSSI.
constexpr int DEVICE_LIST_MAX_ROWS = 1000;

// UI thread, when the selection dialog opens: an empty list, open for rows.
void device_list_init();
// UI thread, when the selection dialog ends: later results change nothing.
void device_list_close();
// UI thread, the Scan button: empties the list.
void device_list_clear();
// Scan thread: 0 row added or updated, 1 nothing done (no open list, or
// DEVICE_LIST_MAX_ROWS distinct devices since the last clear).
int device_list_add(const char* mac, const char* name, int32_t rssi);
// UI thread: true when `generation` is the list's current content, so a
// posted row of that generation may still be shown.
bool device_list_generation_is_current(uint64_t generation);
