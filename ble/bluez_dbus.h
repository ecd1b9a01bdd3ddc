// What the BlueZ backend reads from D-Bus messages, and the thread that
// drives its bus. Everything BlueZ sends is taken as untrusted: a property
// of an unexpected type is passed over, never trusted or crashed on.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

inline constexpr const char* BLUEZ_SERVICE = "org.bluez";
inline constexpr const char* ADAPTER_INTERFACE = "org.bluez.Adapter1";
inline constexpr const char* DEVICE_INTERFACE = "org.bluez.Device1";
inline constexpr const char* SERVICE_INTERFACE = "org.bluez.GattService1";
inline constexpr const char* CHARACTERISTIC_INTERFACE = "org.bluez.GattCharacteristic1";

// The properties the backend follows, as far as a message carried them.
struct bluez_properties {
  std::optional<std::string> address;
  std::optional<std::string> name;
  std::optional<std::string> alias;
  std::optional<std::string> uuid;
  std::optional<int16_t> rssi;
  std::optional<bool> connected;
  std::optional<bool> services_resolved;
  std::optional<bool> paired;
  std::optional<bool> powered;
  std::optional<std::vector<uint8_t>> value;
  // A characteristic that BlueZ lets a client write through a socket of
  // its own (AcquireWrite) has this property, whatever its value.
  std::optional<bool> write_acquired;
  std::vector<std::string> invalidated;  // PropertiesChanged's third argument

  // Takes every property `newer` carries; drops the invalidated ones.
  void merge(const bluez_properties& newer);
};

// One object of BlueZ's tree, with the interfaces the backend cares about.
struct bluez_object {
  bool adapter = false;
  bool device = false;
  bool service = false;
  bool characteristic = false;
  bluez_properties properties;
};

// Reads an a{sv} at the message's position into `out`. Negative errno on a
// malformed message (the message is then of no further use).
int read_properties(sd_bus_message* message, bluez_properties& out);

// Reads an a{sa{sv}} (interfaces and their properties) into `object`.
int read_interfaces(sd_bus_message* message, bluez_object& object);

// Reads the as of InterfacesRemoved and marks the interfaces gone; true
// when nothing the backend follows is left on the object.
int read_removed_interfaces(sd_bus_message* message, bluez_object& object, bool& emptied);

// Reads GetManagedObjects' a{oa{sa{sv}}}.
int read_managed_objects(sd_bus_message* message, std::map<std::string, bluez_object>& objects);

// The error a reply carries: its D-Bus name ("" for none) and message.
struct bus_error {
  std::string name;
  std::string message;
  bool is(const char* error_name) const { return name == error_name; }
  // For a person: the message, else the name.
  std::string text() const;
};
std::optional<bus_error> reply_error(sd_bus_message* reply);

// The one thread that runs a bus connection. Work is posted to it from any
// thread; timers and replies run on it. Nothing here waits for a reply.
class bus_thread {
 public:
  using clock = std::chrono::steady_clock;
  using reply_handler = std::function<void(sd_bus_message* reply)>;

  // Takes the connection over; the thread starts at once. `on_closed` runs
  // on the thread once, when the connection breaks.
  bus_thread(sd_bus* bus, std::function<void()> on_closed);
  // Stops the thread, then closes the connection (pending calls are
  // answered with an error on the way out, and no handler of ours runs
  // after it returns).
  ~bus_thread();
  bus_thread(const bus_thread&) = delete;
  bus_thread& operator=(const bus_thread&) = delete;

  // Any thread: `work` runs on the bus thread soon, in posting order.
  void post(std::function<void()> work);
  bool on_bus_thread() const;

  // Bus thread only below.
  sd_bus* bus() const { return bus_; }
  void at(clock::time_point when, std::function<void()> work);
  // Sends the call and hands its reply (or the error sd-bus makes of a
  // time-out or a closed bus) to `handler` on this thread. False when it
  // could not even be sent; the handler is then never called.
  bool call_async(sd_bus_message* call, std::chrono::milliseconds timeout, reply_handler handler);

 private:
  void run();
  void run_posted();
  void run_due_timers();
  int poll_timeout_ms() const;

  sd_bus* bus_;
  std::function<void()> on_closed_;
  int wake_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::mutex posted_lock_;
  std::vector<std::function<void()>> posted_;
  std::multimap<clock::time_point, std::function<void()>> timers_;
  std::thread thread_;
};
