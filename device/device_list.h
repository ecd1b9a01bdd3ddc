// The devices a scan has seen, as the device selection list shows them: one
// row per device in the order the devices were first seen. This model is the
// truth; a front end only mirrors it. The scan thread changes it and asks the
// front end, through display_sink::device_rows_changed, to catch up; the
// front end then takes what changed on its own thread. However many adverts
// arrive, at most one such request is pending at a time, and a request that
// could not be handed on is asked again by the next change, so the mirror
// can lag behind the model but never disagree with it about which device a
// row is. Portable: no window system here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Distinct devices the list keeps since its last clear.
constexpr int DEVICE_LIST_MAX_ROWS = 1000;

// The longest MAC or name text a row keeps: what the selection dialog can
// read back from a row (255 bytes with the terminator).
constexpr size_t DEVICE_TEXT_MAX = 254;

// UI thread, when the selection dialog opens: an empty list, open for rows.
void device_list_init();
// UI thread, when the selection dialog ends: later results change nothing.
void device_list_close();
// UI thread, the Scan button: empties the model, then the shown list
// (display_sink::clear_device_rows).
void device_list_clear();

// Scan thread: 0 row added or updated, 1 nothing done (no open list, no MAC,
// or DEVICE_LIST_MAX_ROWS distinct devices since the last clear). A MAC seen
// again, whatever its letter case, keeps its row and gets the new Name and
// RSSI texts.
int device_list_add(const char* mac, const char* name, int32_t rssi);

struct device_list_row {
  int index = 0;
  std::string mac, name, rssi;
};

// What a front end needs to bring its mirror in line with the model.
struct device_list_changes {
  // Rows from the mirror's count on (to insert, in order) and earlier rows
  // whose texts changed since the last take, by ascending index.
  std::vector<device_list_row> rows;
  // The row changed most recently, to scroll into view; -1 when none.
  int latest = -1;
  // More changes wait than `max_rows` allowed: the request stays pending,
  // the front end hands it on (device_list_continue_catch_up) and takes the
  // rest in that later turn.
  bool more = false;
};

// Front end thread, after device_rows_changed: at most `max_rows` rows to
// insert or update in a mirror that shows `shown_rows` rows of the current
// content. Unless `more` is set, ends the pending request, so that the next
// change asks again.
device_list_changes device_list_take_changes(int shown_rows, int max_rows);

// Front end thread, after a take that left `more`: hands the still pending
// request on through display_sink::device_rows_changed; when that fails,
// none is pending and the next change asks again.
void device_list_continue_catch_up();
