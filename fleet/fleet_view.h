// How the many-device engine shows what it does: a front end (the command
// line's console) implements both. The engine never writes to a stream
// itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "display/display.h"

// What is shown of one device at a time: what the core shows of it (as its
// display_sink, which the device's record reports through) and what the
// engine says of it. One thread at a time serves a device through it; the
// core's library threads may report through it meanwhile.
class session_view : public display_sink {
 public:
  // What the progress is about (a MAC), shown at its head.
  virtual void set_subject(const std::string& subject) = 0;
  // A new transfer starts: its progress and pace start afresh.
  virtual void begin_transfer() = 0;
  // Done with a device: its progress, shown among others', goes.
  virtual void end_device() = 0;

  // Program time (tick_count_ms) of the first and the last packet the
  // device accepted in the latest transfer; false when it accepted none.
  virtual bool packet_times(uint32_t& first_ms, uint32_t& last_ms) const = 0;
  // Program time at which the latest connection reported the step at
  // `position`; false when it did not report it.
  virtual bool connect_step_time(uint32_t position, uint32_t& at_ms) const = 0;
  virtual void forget_connect_steps() = 0;

  // A line for a person (a front end may keep it to itself when asked to be
  // quiet).
  virtual void message(const std::string& text) = 0;
  // What went wrong, however quiet the front end is; `code` is stable.
  virtual void error(const std::string& text, const std::string& code) = 0;
  // One event for a program reading along (its "event" key first), with
  // the MAC this view is about unless the event names one.
  virtual void event(nlohmann::ordered_json event) = 0;
};

// The front end's side of a run that serves several devices at once.
class fleet_output {
 public:
  virtual ~fleet_output() = default;
  // A view for one more worker; it lives while that worker runs.
  virtual std::unique_ptr<session_view> open_view() = 0;
  // The workers' views are shown together (a block drawn in place, where
  // the front end can draw one).
  virtual void show_together() = 0;
  // A line summing the run up while it goes (empty: none), kept true by
  // the engine whenever a count in it changes.
  virtual void set_total(const std::string& text) = 0;
};
