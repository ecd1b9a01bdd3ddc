#include "fleet/json_text.h"

using json = nlohmann::ordered_json;

std::string json_text(const json& document) {
  return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string json_line(const json& object) {
  return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

json text_or_null(const std::string& text) {
  return text.empty() ? json() : json(text);
}
