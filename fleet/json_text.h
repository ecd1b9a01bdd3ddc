// The one way every JSON text of the command line is written: text from
// devices, file names and words from the command line that is not valid
// UTF-8 is replaced (U+FFFD), never refused, so that no JSON the program
// writes can fail for the bytes it was given.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// A document, indented, with a line break after it.
std::string json_text(const nlohmann::ordered_json& document);

// One line of a stream: the object on one line, with its line break.
std::string json_line(const nlohmann::ordered_json& object);

// Text that was never learnt, or a step that never failed, is null: in
// every JSON document an absent text is null, never "".
nlohmann::ordered_json text_or_null(const std::string& text);

// A field of an object read back from a file, whatever the file holds: the
// text, whole number or number under `key`, or empty / 0 when it is not
// there or is of another kind.
std::string json_string_at(const nlohmann::ordered_json& object, const char* key);
int64_t json_integer_at(const nlohmann::ordered_json& object, const char* key);
double json_number_at(const nlohmann::ordered_json& object, const char* key);
