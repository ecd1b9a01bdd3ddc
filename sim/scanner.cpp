// Scanning: every advertised device is reported again and again from the
// scanner's own thread (in the one-thread mode, from the callback thread)
// until warble_scanner_stop returns.
#include <cstdlib>
#include <cstring>

#include "sim/library.h"

namespace sim {
namespace {

// What a scan result's private_data points at, for the manufacturer data
// and service look-ups; lives exactly as long as the handler call.
struct result_extras {
  std::vector<WarbleScanMftData> manufacturer_views;
  std::vector<uint16_t> companies;
  std::vector<std::string> services;
};

// A fresh heap copy per report: a program that keeps the pointer past the
// handler call reads freed memory, which the sanitizers catch.
char* heap_copy(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void deliver(const advertisement& ad, void* context, warble_scan_handler handler) {
  auto* result = new WarbleScanResult;
  auto* extras = new result_extras;
  for (const auto& data : ad.manufacturer) {
    extras->manufacturer_views.push_back(
        WarbleScanMftData{data.bytes.data(), static_cast<uint32_t>(data.bytes.size())});
    extras->companies.push_back(data.company_id);
  }
  extras->services = ad.services;
  char* mac = heap_copy(ad.mac);
  char* name = ad.name_is_null ? nullptr : heap_copy(ad.name);
  result->mac = mac;
  result->name = name;
  result->rssi = ad.rssi;
  result->private_data = extras;
  handler(context, result);
  std::free(mac);
  std::free(name);
  delete extras;
  delete result;
}

bool session_over(const library& l, uint64_t session) {
  return l.scanner.session != session || l.scanner.stop_requested || shutting_down();
}

// Delivers one round of results, from whichever thread runs it, until the
// session is over. Expects `held` locked; returns with it locked.
void deliver_round(library& l, std::unique_lock<std::mutex>& held, uint64_t session,
                   const std::vector<advertisement>& list) {
  for (const advertisement& ad : list) {
    if (session_over(l, session)) return;
    warble_scan_handler handler = l.scanner.handler;
    void* context = l.scanner.context;
    if (!handler || device_absent(l, ad.device_index, sim_clock::now())) continue;
    if (l.scanner.stopped_session >= session) count(l, RESULTS_AFTER_STOP);
    count(l, SCAN_RESULTS);
    held.unlock();
    deliver(ad, context, handler);
    held.lock();
  }
}

// The one-thread mode: the round goes to the callback thread, and the next
// one only once it was delivered.
void hand_round_to_callback_thread(library& l, std::unique_lock<std::mutex>& held, uint64_t session,
                                   std::shared_ptr<const std::vector<advertisement>> list) {
  uint64_t round = ++l.scanner.rounds_posted;
  l.callback_queue.post_now([session, list, round] {
    library& l = lib();
    std::unique_lock<std::mutex> held(l.lock);
    deliver_round(l, held, session, *list);
    if (l.scanner.session != session) return;
    l.scanner.rounds_delivered = round;
    l.scanner_wake.notify_all();
  });
  while (!session_over(l, session) && l.scanner.rounds_delivered < round) l.scanner_wake.wait(held);
}

void scan_loop(uint64_t session) {
  library& l = lib();
  std::unique_lock<std::mutex> held(l.lock);
  sim_time next_round = sim_clock::now();
  for (;;) {
    while (!session_over(l, session) && sim_clock::now() < next_round)
      l.scanner_wake.wait_until(held, next_round);
    if (session_over(l, session)) return;
    // The list is immutable; a new world brings a new list.
    std::shared_ptr<const std::vector<advertisement>> list = l.world.advertised;
    auto interval = std::chrono::milliseconds(l.world.config.advertise_interval_ms);
    if (l.world.config.one_callback_thread) {
      hand_round_to_callback_thread(l, held, session, list);
    } else {
      deliver_round(l, held, session, *list);
    }
    next_round += interval;
    sim_time now = sim_clock::now();
    if (next_round < now) next_round = now;
  }
}

}  // namespace
}  // namespace sim

using namespace sim;

extern "C" {

WARBLE_API void warble_scanner_set_handler(void* context, warble_scan_handler handler) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  l.scanner.context = context;
  l.scanner.handler = handler;
}

WARBLE_API void warble_scanner_start(int32_t nopts, const WarbleOption* opts) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  for (int32_t i = 0; i < nopts; ++i) {
    bool known = opts && opts[i].key && opts[i].value && std::strcmp(opts[i].key, "scan-type") == 0;
    bool valid = known && (std::strcmp(opts[i].value, "active") == 0 ||
                           std::strcmp(opts[i].value, "passive") == 0);
    if (!valid) {
      l.last_error = "scanner not started: bad scan option";
      return;
    }
  }
  if (nopts < 0 || l.scanner.running) return;
  // Its rounds follow the steady clock, which a driven one has left: under
  // a driven clock it reports nothing, but its windows still take the
  // shared radio, in driven time, as a station's scanner takes them.
  if (driven_clock::instance().driven()) {
    l.last_error = "scanner reports nothing: the clock is driven";
    l.scanner.running = true;
    count(l, SCAN_STARTS);
    if (l.world.config.shared_radio) radio_scanning(l, true);
    return;
  }
  l.scanner.running = true;
  l.scanner.stop_requested = false;
  uint64_t session = ++l.scanner.session;
  count(l, SCAN_STARTS);
  if (l.world.config.shared_radio) radio_scanning(l, true);
  l.scanner.thread = new std::thread(scan_loop, session);
}

WARBLE_API void warble_scanner_stop(void) {
  library& l = lib();
  std::thread* thread = nullptr;
  uint64_t session = 0;
  {
    std::lock_guard<std::mutex> guard(l.lock);
    count(l, SCAN_STOPS);
    radio_scanning(l, false);
    if (l.scanner.running && !l.scanner.thread) l.scanner.running = false;
    if (l.scanner.running && l.scanner.thread) {
      l.scanner.stop_requested = true;
      thread = l.scanner.thread;
      l.scanner.thread = nullptr;
      session = l.scanner.session;
    }
  }
  l.scanner_wake.notify_all();
  // No result starts any more; one may still be in the callback thread's
  // handler.
  wait_for_callbacks(l);
  if (!thread) return;
  if (thread->get_id() == std::this_thread::get_id()) {
    // Stopped from its own result handler: the loop ends once the handler
    // returns, and delivers nothing more.
    thread->detach();
  } else {
    thread->join();
  }
  delete thread;
  std::lock_guard<std::mutex> guard(l.lock);
  l.scanner.running = false;
  l.scanner.stopped_session = session;
}

WARBLE_API const WarbleScanMftData* warble_scan_result_get_manufacturer_data(
    const WarbleScanResult* result, uint16_t company_id) {
  if (!result || !result->private_data) return nullptr;
  auto* extras = static_cast<const result_extras*>(result->private_data);
  for (size_t i = 0; i < extras->companies.size(); ++i) {
    if (extras->companies[i] == company_id) return &extras->manufacturer_views[i];
  }
  return nullptr;
}

WARBLE_API int32_t warble_scan_result_has_service_uuid(const WarbleScanResult* result,
                                                       const char* uuid) {
  if (!result || !result->private_data || !uuid) return 0;
  auto* extras = static_cast<const result_extras*>(result->private_data);
  for (const auto& service : extras->services) {
    if (service == uuid) return 1;
  }
  return 0;
}

}  // extern "C"
