#include "ble/bluez_dbus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// A received value longer than this is cut: the BLE seam carries at most
// 255 bytes, and BlueZ allows 512.
constexpr size_t VALUE_MAX = 512;

template <typename T>
int read_basic(sd_bus_message* message, char type, T& out) {
  return sd_bus_message_read_basic(message, type, &out);
}

int read_string(sd_bus_message* message, std::optional<std::string>& out) {
  const char* text = nullptr;
  const int r = sd_bus_message_read_basic(message, 's', &text);
  if (r > 0) out = text ? text : "";
  return r;
}

int read_bool(sd_bus_message* message, std::optional<bool>& out) {
  int value = 0;
  const int r = read_basic(message, 'b', value);
  if (r > 0) out = value != 0;
  return r;
}

int read_bytes(sd_bus_message* message, std::optional<std::vector<uint8_t>>& out) {
  const void* data = nullptr;
  size_t size = 0;
  const int r = sd_bus_message_read_array(message, 'y', &data, &size);
  if (r < 0) return r;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  out = std::vector<uint8_t>(bytes, bytes + std::min(size, VALUE_MAX));
  return 1;
}

// One variant whose key the backend follows and whose type is the one
// BlueZ documents; anything else is skipped whole.
int read_variant(sd_bus_message* message, const std::string& key, bluez_properties& out) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(message, &type, &contents);
  if (r < 0) return r;
  const std::string signature = contents ? contents : "";
  struct reader {
    const char* key;
    const char* signature;
    std::function<int()> read;
  };
  const reader readers[] = {
      {"Address", "s", [&] { return read_string(message, out.address); }},
      {"Name", "s", [&] { return read_string(message, out.name); }},
      {"Alias", "s", [&] { return read_string(message, out.alias); }},
      {"UUID", "s", [&] { return read_string(message, out.uuid); }},
      {"RSSI", "n",
       [&] {
         int16_t value = 0;
         const int got = read_basic(message, 'n', value);
         if (got > 0) out.rssi = value;
         return got;
       }},
      {"Connected", "b", [&] { return read_bool(message, out.connected); }},
      {"ServicesResolved", "b", [&] { return read_bool(message, out.services_resolved); }},
      {"Paired", "b", [&] { return read_bool(message, out.paired); }},
      {"Powered", "b", [&] { return read_bool(message, out.powered); }},
      {"Value", "ay", [&] { return read_bytes(message, out.value); }},
      {"WriteAcquired", "b", [&] { return read_bool(message, out.write_acquired); }},
  };
  for (const reader& each : readers) {
    if (key != each.key || signature != each.signature) continue;
    r = sd_bus_message_enter_container(message, 'v', each.signature);
    if (r < 0) return r;
    r = each.read();
    if (r < 0) return r;
    return sd_bus_message_exit_container(message);
  }
  return sd_bus_message_skip(message, "v");
}

int read_string_array(sd_bus_message* message, std::vector<std::string>& out) {
  char** strings = nullptr;
  const int r = sd_bus_message_read_strv(message, &strings);
  if (r < 0) return r;
  for (char** each = strings; each && *each; ++each) {
    out.emplace_back(*each);
    free(*each);
  }
  free(strings);
  return 1;
}

}  // namespace

void bluez_properties::merge(const bluez_properties& newer) {
  const auto take = [](auto& mine, const auto& theirs) {
    if (theirs) mine = theirs;
  };
  take(address, newer.address);
  take(name, newer.name);
  take(alias, newer.alias);
  take(uuid, newer.uuid);
  take(rssi, newer.rssi);
  take(connected, newer.connected);
  take(services_resolved, newer.services_resolved);
  take(paired, newer.paired);
  take(powered, newer.powered);
  take(value, newer.value);
  take(write_acquired, newer.write_acquired);
  for (const std::string& key : newer.invalidated) {
    if (key == "RSSI") rssi.reset();
    if (key == "Name") name.reset();
    if (key == "Value") value.reset();
  }
}

int read_properties(sd_bus_message* message, bluez_properties& out) {
  int r = sd_bus_message_enter_container(message, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    r = sd_bus_message_read_basic(message, 's', &key);
    if (r < 0) return r;
    r = read_variant(message, key ? key : "", out);
    if (r < 0) return r;
    r = sd_bus_message_exit_container(message);
    if (r < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(message);
}

int read_interfaces(sd_bus_message* message, bluez_object& object) {
  int r = sd_bus_message_enter_container(message, 'a', "{sa{sv}}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(message, 'e', "sa{sv}")) > 0) {
    const char* name = nullptr;
    r = sd_bus_message_read_basic(message, 's', &name);
    if (r < 0) return r;
    const std::string interface = name ? name : "";
    bluez_properties properties;
    r = read_properties(message, properties);
    if (r < 0) return r;
    bool followed = true;
    if (interface == ADAPTER_INTERFACE) {
      object.adapter = true;
    } else if (interface == DEVICE_INTERFACE) {
      object.device = true;
    } else if (interface == SERVICE_INTERFACE) {
      object.service = true;
    } else if (interface == CHARACTERISTIC_INTERFACE) {
      object.characteristic = true;
    } else {
      followed = false;
    }
    if (followed) object.properties.merge(properties);
    r = sd_bus_message_exit_container(message);
    if (r < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(message);
}

int read_removed_interfaces(sd_bus_message* message, bluez_object& object, bool& emptied) {
  std::vector<std::string> interfaces;
  const int r = read_string_array(message, interfaces);
  if (r < 0) return r;
  for (const std::string& interface : interfaces) {
    if (interface == ADAPTER_INTERFACE) object.adapter = false;
    if (interface == DEVICE_INTERFACE) object.device = false;
    if (interface == SERVICE_INTERFACE) object.service = false;
    if (interface == CHARACTERISTIC_INTERFACE) object.characteristic = false;
  }
  emptied = !object.adapter && !object.device && !object.service && !object.characteristic;
  return 1;
}

int read_managed_objects(sd_bus_message* message, std::map<std::string, bluez_object>& objects) {
  int r = sd_bus_message_enter_container(message, 'a', "{oa{sa{sv}}}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(message, 'e', "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    r = sd_bus_message_read_basic(message, 'o', &path);
    if (r < 0) return r;
    bluez_object object;
    r = read_interfaces(message, object);
    if (r < 0) return r;
    if (path && (object.adapter || object.device || object.service || object.characteristic))
      objects[path] = object;
    r = sd_bus_message_exit_container(message);
    if (r < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(message);
}

std::string bus_error::text() const {
  return message.empty() ? name : message;
}

std::optional<bus_error> reply_error(sd_bus_message* reply) {
  if (!reply) return bus_error{"org.freedesktop.DBus.Error.NoReply", "No reply"};
  if (!sd_bus_message_is_method_error(reply, nullptr)) return std::nullopt;
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  bus_error out;
  if (error && error->name) out.name = error->name;
  if (error && error->message) out.message = error->message;
  return out;
}

// ---------------------------------------------------------------------------

namespace {

struct pending_reply {
  bus_thread::reply_handler handler;
};

int on_reply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  pending_reply* pending = static_cast<pending_reply*>(userdata);
  if (pending->handler) {
    // Taken out first: a handler may post or call again, never re-enter
    // this one.
    bus_thread::reply_handler handler = std::move(pending->handler);
    pending->handler = nullptr;
    handler(reply);
  }
  return 0;
}

void forget_reply(void* userdata) {
  delete static_cast<pending_reply*>(userdata);
}

}  // namespace

bus_thread::bus_thread(sd_bus* bus, std::function<void()> on_closed)
    : bus_(bus), on_closed_(std::move(on_closed)) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_ = std::thread([this] { run(); });
}

bus_thread::~bus_thread() {
  stopping_ = true;
  post([] {});
  if (thread_.joinable()) thread_.join();
  // Pending calls' slots go with the connection; their userdata is freed
  // by the destroy callbacks, and no handler runs any more.
  sd_bus_flush_close_unref(bus_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

void bus_thread::post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> hold(posted_lock_);
    posted_.push_back(std::move(work));
  }
  const uint64_t one = 1;
  if (wake_fd_ >= 0) {
    const ssize_t written = write(wake_fd_, &one, sizeof one);
    (void)written;  // a full counter already wakes the thread
  }
}

bool bus_thread::on_bus_thread() const {
  return std::this_thread::get_id() == thread_.get_id();
}

void bus_thread::at(clock::time_point when, std::function<void()> work) {
  timers_.emplace(when, std::move(work));
}

bool bus_thread::call_async(sd_bus_message* call, std::chrono::milliseconds timeout,
                            reply_handler handler) {
  pending_reply* pending = new pending_reply{std::move(handler)};
  sd_bus_slot* slot = nullptr;
  const uint64_t usec = static_cast<uint64_t>(std::max<int64_t>(timeout.count(), 1)) * 1000;
  if (sd_bus_call_async(bus_, &slot, call, on_reply, pending, usec) < 0) {
    delete pending;
    return false;
  }
  sd_bus_slot_set_destroy_callback(slot, forget_reply);
  sd_bus_slot_set_floating(slot, 1);
  sd_bus_slot_unref(slot);
  return true;
}

void bus_thread::run_posted() {
  std::vector<std::function<void()>> work;
  {
    std::lock_guard<std::mutex> hold(posted_lock_);
    work.swap(posted_);
  }
  for (std::function<void()>& each : work) each();
}

void bus_thread::run_due_timers() {
  const clock::time_point now = clock::now();
  while (!timers_.empty() && timers_.begin()->first <= now) {
    std::function<void()> work = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    work();
  }
}

int bus_thread::poll_timeout_ms() const {
  int64_t wait_ms = 1000;
  uint64_t bus_due_usec = 0;
  if (sd_bus_get_timeout(bus_, &bus_due_usec) >= 0 && bus_due_usec != UINT64_MAX) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t now_usec =
        static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
    wait_ms = bus_due_usec <= now_usec
                  ? 0
                  : std::min<int64_t>(wait_ms, (bus_due_usec - now_usec + 999) / 1000);
  }
  if (!timers_.empty()) {
    const auto until =
        std::chrono::duration_cast<std::chrono::milliseconds>(timers_.begin()->first - clock::now())
            .count() +
        1;
    wait_ms = std::min<int64_t>(wait_ms, std::max<int64_t>(until, 0));
  }
  return static_cast<int>(wait_ms);
}

void bus_thread::run() {
  bool bus_usable = true;
  while (!stopping_) {
    // Everything the bus has for us first: replies and signals in order.
    while (bus_usable) {
      const int r = sd_bus_process(bus_, nullptr);
      if (r < 0) {
        // Closed: posted work and timers still run, and learn it.
        bus_usable = false;
        if (on_closed_) on_closed_();
      }
      if (r <= 0) break;
    }
    run_posted();
    run_due_timers();
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 1;
    if (bus_usable) {
      const int events = sd_bus_get_events(bus_);
      fds[1] = {sd_bus_get_fd(bus_), static_cast<short>(events > 0 ? events : POLLIN), 0};
      count = 2;
    }
    const int waited = poll(fds, count, poll_timeout_ms());
    if (waited > 0 && (fds[0].revents & POLLIN)) {
      uint64_t drained = 0;
      const ssize_t got = read(wake_fd_, &drained, sizeof drained);
      (void)got;
    }
  }
}
