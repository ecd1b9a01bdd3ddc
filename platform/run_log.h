// The log of a run: every line of the trace also goes, as it is (UTF-8), to
// a file of this run's own, so that a user of a windowed program, whose
// standard output goes nowhere, has something to send to support.
#pragma once

#include <cstddef>
#include <string>

// The runs a log folder keeps: the newest ones, this run included.
constexpr size_t RUN_LOGS_KEPT = 20;

// Creates `folder` (UTF-8) when needed, deletes the oldest logs of
// `program` there so that with this run's at most `keep` remain, opens
// "<program>-YYYYMMDD-HHMMSS-<pid>.log" and hands it to the trace. Returns
// its path, or empty when no log can be written: the program runs on
// without one, as it does when a later write fails.
std::string start_run_log(const std::string& folder, const std::string& program,
                          size_t keep = RUN_LOGS_KEPT);
