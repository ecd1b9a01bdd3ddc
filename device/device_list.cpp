#include "device/device_list.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "display/display.h"

namespace {

std::string bounded_text(const char* text) {
  std::string value;
  if (!text) return value;
  for (size_t i = 0; i < DEVICE_TEXT_MAX && text[i]; ++i) value.push_back(text[i]);
  return value;
}

std::string letter_case_folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The lock is held only while the model is read or changed, never while a
// window is touched, so the front end's thread waits for no more than that.
struct device_list_model {
  std::mutex lock;
  bool open = false;
  std::vector<device_list_row> rows;
  std::unordered_map<std::string, int> row_of_mac;  // by letter-case-folded MAC
  std::vector<bool> changed;                        // per row, since the last take
  std::vector<int> changed_rows;                    // the rows flagged in `changed`
  int latest = -1;
};
// Never destroyed: the process may exit while a scan thread still adds rows.
device_list_model& model = *new device_list_model;

// Set while a request to catch up is on its way to the front end: repeated
// adverts then only change the model, and the front end's queue holds at
// most one request however busy the radio is.
std::atomic<bool> catch_up_pending{false};

void empty_model(bool open) {
  model.open = open;
  model.rows.clear();
  model.row_of_mac.clear();
  model.changed.clear();
  model.changed_rows.clear();
  model.latest = -1;
}

void mark_changed(int index) {
  if (!model.changed[index]) {
    model.changed[index] = true;
    model.changed_rows.push_back(index);
  }
  model.latest = index;
}

}  // namespace

void device_list_init() {
  {
    std::lock_guard<std::mutex> hold(model.lock);
    empty_model(true);
  }
  // A request still on its way to an earlier list finds this one and does
  // no harm; one that was lost must not keep this list from asking.
  catch_up_pending = false;
}

void device_list_close() {
  std::lock_guard<std::mutex> hold(model.lock);
  empty_model(false);
}

void device_list_clear() {
  {
    std::lock_guard<std::mutex> hold(model.lock);
    empty_model(model.open);
  }
  display().clear_device_rows();
}

int device_list_add(const char* mac, const char* name, int32_t rssi) {
  if (!mac) return 1;
  device_list_row row;
  row.mac = bounded_text(mac);
  row.name = bounded_text(name);
  char rssi_text[32];
  snprintf(rssi_text, sizeof rssi_text, "%i dBm", static_cast<int>(rssi));
  row.rssi = rssi_text;
  std::string key = letter_case_folded(row.mac);
  {
    std::lock_guard<std::mutex> hold(model.lock);
    if (!model.open || model.rows.size() >= static_cast<size_t>(DEVICE_LIST_MAX_ROWS)) return 1;
    const auto known = model.row_of_mac.find(key);
    if (known == model.row_of_mac.end()) {
      row.index = static_cast<int>(model.rows.size());
      model.row_of_mac.emplace(std::move(key), row.index);
      model.rows.push_back(std::move(row));
      model.changed.push_back(false);
      mark_changed(static_cast<int>(model.rows.size()) - 1);
    } else {
      device_list_row& shown = model.rows[known->second];
      if (shown.name == row.name && shown.rssi == row.rssi) return 0;
      shown.name = std::move(row.name);
      shown.rssi = std::move(row.rssi);
      mark_changed(known->second);
    }
  }
  if (!catch_up_pending.exchange(true) && !display().device_rows_changed()) {
    catch_up_pending = false;  // the next change asks again
  }
  return 0;
}

device_list_changes device_list_take_changes(int shown_rows, int max_rows) {
  device_list_changes changes;
  std::lock_guard<std::mutex> hold(model.lock);
  if (model.open) {
    const int count = static_cast<int>(model.rows.size());
    const int first_new = std::clamp(shown_rows, 0, count);
    const size_t room = static_cast<size_t>(std::max(max_rows, 0));
    std::sort(model.changed_rows.begin(), model.changed_rows.end());
    std::vector<int> left;
    for (int index : model.changed_rows) {
      if (index >= first_new) {
        model.changed[index] = false;  // new to the mirror: taken below
      } else if (changes.rows.size() < room) {
        changes.rows.push_back(model.rows[index]);
        model.changed[index] = false;
      } else {
        left.push_back(index);
      }
    }
    model.changed_rows = std::move(left);
    int index = first_new;
    for (; index < count && changes.rows.size() < room; ++index) {
      changes.rows.push_back(model.rows[index]);
    }
    changes.more = !model.changed_rows.empty() || index < count;
    changes.latest = model.latest;
    if (!changes.more) model.latest = -1;
  }
  // Cleared under the lock: a change made before this take is in it, one
  // made after it asks again. With more to take, the request stays pending
  // and the front end hands it on itself.
  if (!changes.more) catch_up_pending = false;
  return changes;
}

void device_list_continue_catch_up() {
  if (!display().device_rows_changed()) catch_up_pending = false;
}
