// The record in a local file: the embedded default, for one station. An
// append-only file of one JSON object a line (a campaign, a claim, a
// result), each line pushed to the disk before the device's next step, so
// a crash or a power cut loses at most the line being written. The file is
// read back whole when it is taken (a restarted station knows what is
// done), and held by one process at a time (a lock beside it, as the batch
// report has). What it costs per device stays the same however long the
// line runs: a line appended, and an index in memory.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fleet/record_store.h"

struct os_file_lock;

class file_store final : public record_store {
 public:
  // Takes the file at `path` (making it when it is not there) and reads it
  // back. A last line cut short (a crash while it was written) is cut off
  // and said in `warning`; any other line that is not one of ours makes it
  // no record (null, with `error`), as does a file another process holds.
  // `reading_only`: neither taken nor made nor cut, and never written (a
  // station may be writing it meanwhile: its unfinished last line is passed
  // over).
  static std::unique_ptr<file_store> open(const std::string& path, bool reading_only,
                                          std::string& error, std::string& warning);
  ~file_store() override;

  std::string where() const override { return path_; }
  store_status campaigns(std::vector<campaign_entry>& found, std::string& error) override;
  store_status open_campaign(const campaign& c, bool create, std::string& error) override;
  claim_outcome claim(const claim_request& request) override;
  store_status renew(const std::string& mac, int64_t attempt, uint32_t lease_ms) override;
  finish_outcome finish(const attempt_result& result) override;
  store_status read(std::vector<record_row>& rows, std::string& error) override;

 private:
  // A device as the file says it, with when its lease runs out (wall-clock
  // milliseconds; 0: no lease runs).
  struct device_entry {
    record_row record;
    int64_t lease_until_ms = 0;
  };
  struct campaign_records {
    campaign_entry entry;
    std::map<std::string, size_t> index;  // by MAC, into devices
    std::vector<device_entry> devices;    // in the order first claimed
  };

  file_store() = default;
  bool load(std::string& error, std::string& warning);
  bool apply(const std::string& line, std::string& error);
  bool append(const std::string& line, std::string& error);
  bool record_line(const nlohmann::ordered_json& line, std::string& error);
  campaign_records* current();
  device_entry& device_of(campaign_records& records, const std::string& mac);

  std::string path_;
  bool reading_only_ = false;
  FILE* file_ = nullptr;
  os_file_lock* lock_ = nullptr;
  std::mutex lock_mutex_;  // every call: workers and a renewal thread share the store
  std::map<std::string, campaign_records> campaigns_;
  std::vector<std::string> campaign_order_;
  std::string current_;
};
