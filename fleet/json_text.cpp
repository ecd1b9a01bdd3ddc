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

std::string json_string_at(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

int64_t json_integer_at(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_number_integer() ? found->get<int64_t>() : 0;
}

double json_number_at(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_number() ? found->get<double>() : 0.0;
}
