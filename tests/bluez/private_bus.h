// A private system bus for the BlueZ backend's tests and bench: a
// dbus-daemon with its own configuration and socket, and on it the fake
// bluetoothd (fake_bluez) serving the stand-in's simulated devices. While
// it lives, DBUS_SYSTEM_BUS_ADDRESS names its socket, so the backend in
// this process (and a program started from it) finds it as the system bus.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <vector>

struct fake_bluez_options {
  std::string scenario;            // the stand-in's scenario text
  std::vector<std::string> flags;  // fake_bluez's quirks (--resolve-early, ...)
  bool start_bluez = true;         // false: a bus without bluetoothd
  bool deny_bluez = false;         // the bus policy keeps clients from org.bluez
};

// What the fake says a device received in its latest transfer.
struct fake_record {
  std::string verdict;
  bool accepted = false;
  int32_t transfers = 0;
  std::vector<uint8_t> image;
};

struct transfer_window {
  std::string mac;
  int64_t first_us = 0, last_us = 0;
};

class private_bus {
 public:
  // Starts the daemon and, unless told otherwise, the fake; `ok()` says
  // whether both came up (within a bound), `problem()` why not.
  explicit private_bus(const fake_bluez_options& options);
  ~private_bus();
  private_bus(const private_bus&) = delete;
  private_bus& operator=(const private_bus&) = delete;

  bool ok() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }
  const std::string& address() const { return address_; }
  const std::string& folder() const { return dir_; }

  // The fake's test side (org.tavren.FakeBluez1).
  int32_t counter(const std::string& name);
  uint32_t calls(const std::string& method);
  bool filter(std::string& transport, bool& duplicate_data);
  fake_record record(const std::string& mac);
  std::vector<transfer_window> transfers();
  bool forget(const std::string& mac);
  // bluetoothd leaves the bus, as when its service stops or crashes.
  void stop_bluez();
  // bluetoothd starts again (a restart of its service), on a world of its
  // own: what the devices had received is gone with the one before.
  bool restart_bluez(const fake_bluez_options& options);
  // What the fake wrote (a sanitizer's report among it, if any).
  std::string fake_log() const;

 private:
  bool start_daemon(bool deny);
  bool start_fake(const fake_bluez_options& options);
  bool call(const char* member, sd_bus_message** reply, const char* types, ...);

  std::string dir_, address_, problem_;
  pid_t daemon_ = -1, fake_ = -1;
  sd_bus* bus_ = nullptr;
};

// Starts a program whose standard output and error go to `log`.
pid_t start_program(const std::vector<std::string>& words, const std::string& log);

// Runs a program with the private bus as its system bus; its exit status,
// and what it wrote to standard error.
int run_program(const std::vector<std::string>& words, std::string& err);
