// Files a user names as input (the device list, an earlier report): read
// only when they are regular files of a sensible size, whole, at once.
#pragma once

#include <cstdint>
#include <string>

// Far more than any device list or report of a production line (a row of a
// report is a few hundred bytes): anything larger is not one of ours.
constexpr uint64_t INPUT_FILE_LIMIT = 16u * 1024 * 1024;

enum class input_read { read, missing, not_a_file, unreadable, too_large };

// Reads the whole file at `path` into `text`; a byte order mark at its
// start is dropped (Windows editors and spreadsheets write one). A pipe, a
// device or a folder is never opened for reading (a FIFO would block), and
// nothing is read past the limit. On failure `reason` says why, in words
// for a person (the system's own for an unreadable file).
input_read read_input_file(const std::string& path, std::string& text, std::string& reason);
