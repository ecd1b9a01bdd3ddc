// Text that came from outside (a device's name or strings, a file's name)
// as it may be shown to a person on a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Control characters (C0, DEL, and C1, which some terminals obey as
// escape sequences too) and bytes that are not UTF-8 become \xNN, so that
// text from a device can neither move the cursor nor change colours, nor
// hide what follows it. A backslash stays as it is.
std::string printable(const std::string& text);

// The length of the well-formed UTF-8 sequence of two bytes or more at `at`
// (shortest form, no surrogates, at most U+10FFFF), with its code point;
// 0 when there is none there.
size_t utf8_sequence(const std::string& text, size_t at, uint32_t& code_point);
