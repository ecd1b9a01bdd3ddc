// What an in-process run of the command line leaves, and a standard error
// that lets a test act at a moment of the command's own choosing.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>

struct run_result {
  int status = -1;
  std::string out, err;
  nlohmann::json document() const { return nlohmann::json::parse(out, nullptr, false); }
};

// `action` runs, on the command's thread, once the first line holding
// `trigger` was written.
class hooked_text : public std::stringbuf {
 public:
  void when(std::string trigger, std::function<void()> action) {
    trigger_ = std::move(trigger);
    action_ = std::move(action);
  }

 protected:
  int sync() override {
    if (action_ && str().find(trigger_) != std::string::npos) {
      auto action = std::move(action_);
      action_ = nullptr;
      action();
    }
    return std::stringbuf::sync();
  }

 private:
  std::string trigger_;
  std::function<void()> action_;
};
