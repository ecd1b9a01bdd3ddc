#include "tests/bluez/private_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/support/eventually.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Generous: a loaded machine under a sanitizer starts processes slowly.
constexpr auto START_LIMIT = 30s;
constexpr auto STOP_LIMIT = 10s;

pid_t spawn(const std::vector<std::string>& words, const std::string& log) {
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  for (std::string& word : copy) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  const bool ended = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, STOP_LIMIT);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  pid = -1;
}

bool has_owner(sd_bus* bus, const char* name) {
  sd_bus_message* reply = nullptr;
  int owned = 0;
  const int r =
      sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s", name);
  if (r >= 0) sd_bus_message_read(reply, "b", &owned);
  sd_bus_message_unref(reply);
  return owned != 0;
}

std::string read_text(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

private_bus::private_bus(const fake_bluez_options& options) {
  char pattern[] = "/tmp/bluez-test-XXXXXX";
  if (!mkdtemp(pattern)) {
    problem_ = "no temporary folder";
    return;
  }
  dir_ = pattern;
  address_ = "unix:path=" + dir_ + "/system_bus_socket";
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
  if (!start_daemon(options.deny_bluez)) return;
  if (options.start_bluez) start_fake(options);
}

private_bus::~private_bus() {
  sd_bus_flush_close_unref(bus_);
  stop(fake_);
  stop(daemon_);
  if (!dir_.empty()) {
    const std::string command = "rm -rf '" + dir_ + "'";
    if (system(command.c_str()) != 0) {
    }
  }
}

void private_bus::stop_bluez() {
  stop(fake_);
}

bool private_bus::restart_bluez(const fake_bluez_options& options) {
  stop(fake_);
  return start_fake(options);
}

bool private_bus::start_daemon(bool deny) {
  const std::string config = dir_ + "/bus.conf";
  std::ofstream(config)
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <listen>unix:path=" +
             dir_ +
             "/system_bus_socket</listen>\n"
             "  <auth>EXTERNAL</auth>\n"
             "  <policy context=\"default\">\n"
             "    <allow user=\"*\"/>\n"
             "    <allow own=\"*\"/>\n"
             "    <allow send_destination=\"*\"/>\n"
             "    <allow receive_sender=\"*\"/>\n"
             "  </policy>\n" +
             (deny ? "  <policy context=\"mandatory\">\n"
                     "    <deny send_destination=\"org.bluez\"/>\n"
                     "  </policy>\n"
                   : "") +
             "</busconfig>\n";
  daemon_ =
      spawn({"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + config}, dir_ + "/daemon.log");
  if (daemon_ <= 0) {
    problem_ = "cannot start dbus-daemon";
    return false;
  }
  const bool up = eventually(
      [&] {
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) < 0) return false;
        sd_bus_set_address(bus, address_.c_str());
        sd_bus_set_bus_client(bus, 1);
        if (sd_bus_start(bus) < 0) {
          sd_bus_unref(bus);
          return false;
        }
        bus_ = bus;
        return true;
      },
      START_LIMIT);
  if (!up) problem_ = "dbus-daemon did not come up: " + read_text(dir_ + "/daemon.log");
  return up;
}

bool private_bus::start_fake(const fake_bluez_options& options) {
  const std::string scenario = dir_ + "/scenario.txt";
  std::ofstream(scenario) << options.scenario;
  std::vector<std::string> words = {FAKE_BLUEZ_PROGRAM, "--scenario", scenario};
  words.insert(words.end(), options.flags.begin(), options.flags.end());
  fake_ = spawn(words, dir_ + "/fake.log");
  const bool up = fake_ > 0 && eventually(
                                   [&] {
                                     int status = 0;
                                     if (waitpid(fake_, &status, WNOHANG) == fake_) {
                                       fake_ = -1;
                                       return true;  // ended: said below
                                     }
                                     return has_owner(bus_, "org.bluez");
                                   },
                                   START_LIMIT);
  if (!up || fake_ <= 0) {
    problem_ = "fake_bluez did not come up: " + read_text(dir_ + "/fake.log");
    return false;
  }
  return true;
}

bool private_bus::call(const char* member, sd_bus_message** reply, const char* types, ...) {
  sd_bus_message* message = nullptr;
  if (sd_bus_message_new_method_call(bus_, &message, "org.bluez", "/org/tavren/fake",
                                     "org.tavren.FakeBluez1", member) < 0)
    return false;
  va_list arguments;
  va_start(arguments, types);
  const int appended = types ? sd_bus_message_appendv(message, types, arguments) : 0;
  va_end(arguments);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int r =
      appended < 0 ? appended : sd_bus_call(bus_, message, 10 * 1000 * 1000, &error, reply);
  sd_bus_error_free(&error);
  sd_bus_message_unref(message);
  return r >= 0;
}

int32_t private_bus::counter(const std::string& name) {
  sd_bus_message* reply = nullptr;
  int32_t value = -1;
  if (call("Counter", &reply, "s", name.c_str())) sd_bus_message_read(reply, "i", &value);
  sd_bus_message_unref(reply);
  return value;
}

uint32_t private_bus::calls(const std::string& method) {
  sd_bus_message* reply = nullptr;
  uint32_t value = 0;
  if (call("Calls", &reply, "s", method.c_str())) sd_bus_message_read(reply, "u", &value);
  sd_bus_message_unref(reply);
  return value;
}

bool private_bus::filter(std::string& transport, bool& duplicate_data) {
  sd_bus_message* reply = nullptr;
  const char* text = nullptr;
  int duplicate = 0;
  const bool got =
      call("Filter", &reply, nullptr) && sd_bus_message_read(reply, "sb", &text, &duplicate) >= 0;
  if (got) {
    transport = text ? text : "";
    duplicate_data = duplicate != 0;
  }
  sd_bus_message_unref(reply);
  return got;
}

fake_record private_bus::record(const std::string& mac) {
  sd_bus_message* reply = nullptr;
  fake_record out;
  const char* verdict = nullptr;
  int accepted = 0;
  const void* data = nullptr;
  size_t size = 0;
  if (call("Record", &reply, "s", mac.c_str()) &&
      sd_bus_message_read(reply, "sii", &verdict, &accepted, &out.transfers) >= 0 &&
      sd_bus_message_read_array(reply, 'y', &data, &size) >= 0) {
    out.verdict = verdict ? verdict : "";
    out.accepted = accepted != 0;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    out.image.assign(bytes, bytes + size);
  }
  sd_bus_message_unref(reply);
  return out;
}

std::vector<transfer_window> private_bus::transfers() {
  sd_bus_message* reply = nullptr;
  std::vector<transfer_window> out;
  if (call("Transfers", &reply, nullptr) &&
      sd_bus_message_enter_container(reply, 'a', "(sxx)") >= 0) {
    const char* mac = nullptr;
    int64_t first = 0, last = 0;
    while (sd_bus_message_read(reply, "(sxx)", &mac, &first, &last) > 0)
      out.push_back({mac ? mac : "", first, last});
  }
  sd_bus_message_unref(reply);
  return out;
}

bool private_bus::forget(const std::string& mac) {
  sd_bus_message* reply = nullptr;
  int known = 0;
  const bool got =
      call("Forget", &reply, "s", mac.c_str()) && sd_bus_message_read(reply, "b", &known) >= 0;
  sd_bus_message_unref(reply);
  return got && known;
}

std::string private_bus::fake_log() const {
  return dir_.empty() ? "" : read_text(dir_ + "/fake.log");
}

pid_t start_program(const std::vector<std::string>& words, const std::string& log) {
  return spawn(words, log);
}

int run_program(const std::vector<std::string>& words, std::string& err) {
  char pattern[] = "/tmp/bluez-run-XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd < 0) return -1;
  close(fd);
  const pid_t pid = spawn(words, pattern);
  int status = -1;
  if (pid > 0) waitpid(pid, &status, 0);
  err = read_text(pattern);
  unlink(pattern);
  return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
