// The one seam between the code that knows what to show (the worker and the
// BLE library's threads) and whatever shows it. The Windows program
// implements display_sink with real windows (app/); native tests implement
// it with a recorder that keeps everything in order.
//
// Contract for every display_sink method, unless it says otherwise:
//  - it may be called from the worker thread and from BLE library threads;
//  - it must never wait for the worker (the worker may be the caller), and
//    must not hold a lock of its own while it waits for the UI thread;
//  - it waits for the UI thread only with a bound: a window that does not
//    answer delays the caller, never parks it (only message_box waits
//    without one, for the user);
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

// How far a transfer got, and at what pace.
struct transfer_progress {
  uint64_t sent_bytes = 0;
  uint64_t total_bytes = 0;
  double bytes_per_second = 0;  // 0 while not yet known
  int64_t seconds_left = -1;    // -1 while not yet known
};

class display_sink {
 public:
  virtual ~display_sink() = default;

  // Sets the control's text when it differs from what it shows.
  virtual void set_text_if_different(display_window window, int control_id, const char* text) = 0;

  // Puts a progress bar on 0..PROGRESS_FULL and its position.
  virtual void set_progress(display_window window, int control_id, uint32_t position) = 0;

  // Enables or disables the main window's connection-dependent controls and
  // shows `device_info` (connected) or "Device not connected". Also called
  // on the UI thread.
  virtual void show_connection_state(bool connected, const std::string& device_info) = 0;

  // Shows a step in the connection-progress dialog: its bar at `position`
  // and its step text. False when that dialog is not open (the report is
  // dropped).
  virtual bool show_connect_progress(uint32_t position, const char* text) = 0;

  // The connection sequence made its final report: the window keeps it up
  // for a moment (the window's own business: it may hold the caller that
  // long), then closes the dialog on its own thread.
  virtual void end_connect_progress() = 0;

  // An image is being sent: how far, how fast, how long still (about once a
  // second while `running`); once more with `running` false when the
  // transfer ended, whatever its outcome, to clear what was shown.
  virtual void show_transfer_progress(const transfer_progress& progress, bool running) = 0;

  // The device list's model changed (device/device_list.h): the front end
  // brings its list in line with device_list_take_changes on its own
  // thread, later. Called by the scan thread, and by the front end for a
  // further turn, with never more than one request pending; must not block.
  // False when the request could not be handed on: the next change asks
  // again.
  virtual bool device_rows_changed() = 0;

  // Empties the list view; called on the UI thread by device_list_clear.
  virtual void clear_device_rows() = 0;

  // After each packet the device accepted: how far, how fast, how long
  // still. For a front end that follows a transfer more closely than
  // show_transfer_progress's once a second; the window does not. Runs
  // between packets: it must be quick and must not block.
  virtual void show_transfer_step(const transfer_progress&) {}

  // A modal message box with an OK button; returns when the user closed it.
  // Called on the worker thread and, at start-up, on the UI thread.
  virtual void message_box(display_window owner, const char* text, const char* caption,
                           box_icon icon) = 0;
};

// Installs the process-wide sink (null: nothing is shown anywhere). The
// sink must outlive every thread that may still display something.
void set_display_sink(display_sink* sink);
display_sink& display();

// The operations the worker and the BLE threads call.
void set_text_if_different(display_window window, int control_id, const char* text);
void status_printf(const char* format, ...) TRACE_PRINTF_FORMAT(1, 2);
void set_progress(display_window window, int control_id, uint32_t position);
void show_connection_state(bool connected, const std::string& device_info);
void show_transfer_progress(const transfer_progress& progress, bool running);
void show_transfer_step(const transfer_progress& progress);
void report_connect_progress(uint32_t position, const char* format, ...) TRACE_PRINTF_FORMAT(2, 3);
void message_box(display_window owner, const char* text, const char* caption, box_icon icon);
