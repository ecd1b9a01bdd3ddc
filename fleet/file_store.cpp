#include "fleet/file_store.h"

#include <chrono>
#include <cstdlib>

#include "fleet/image_file.h"
#include "fleet/json_text.h"
#include "fleet/mac_address.h"
#include "fleet/report.h"
#include "platform/os.h"

namespace {

using json = nlohmann::ordered_json;

constexpr char LOCK_SUFFIX[] = ".lock";
constexpr size_t READ_CHUNK = 64 * 1024;
// A line of ours is a few hundred bytes; anything far longer is not one.
constexpr size_t LINE_LIMIT = 64 * 1024;

int64_t wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool crc_of(const std::string& text, uint32_t& crc) {
  if (text.size() != 10 || text.compare(0, 2, "0x") != 0) return false;
  char* end = nullptr;
  crc = static_cast<uint32_t>(std::strtoul(text.c_str() + 2, &end, 16));
  return end && *end == '\0';
}

json campaign_line(const campaign_entry& entry) {
  return json{{"type", "campaign"},
              {"key", entry.key},
              {"image_name", entry.facts.image_name},
              {"image_bytes", entry.facts.image_bytes},
              {"image_crc32", crc32_text(entry.facts.image_crc32)},
              {"expected_revision", entry.facts.expected_revision},
              {"model", entry.facts.model},
              {"created", entry.created}};
}

// The batch report's nearest word for where a device stands.
device_result report_result(record_state state) {
  switch (state) {
    case record_state::ok:
      return device_result::ok;
    case record_state::already_installed:
      return device_result::skipped;
    case record_state::failed:
    case record_state::rejected:
      return device_result::failed;
    default:
      return device_result::interrupted;
  }
}

}  // namespace

std::unique_ptr<file_store> file_store::open(const std::string& path, bool reading_only,
                                             std::string& error, std::string& warning) {
  std::unique_ptr<file_store> store(new file_store);
  store->path_ = path;
  store->reading_only_ = reading_only;
  if (reading_only) {
    open_file_result opened = open_file_result::not_found;
    store->file_ = os_open_regular_file(path.c_str(), opened);
    if (!store->file_) {
      error = opened == open_file_result::not_a_file
                  ? "the record " + path + " is not a regular file"
                  : "cannot read the record " + path + ": " +
                        (opened == open_file_result::not_found ? std::string("no such file")
                                                               : os_error_text(os_last_error()));
      return nullptr;
    }
    return store->load(error, warning) ? std::move(store) : nullptr;
  }
  unsigned long holder = 0;
  const std::string lock_path = path + LOCK_SUFFIX;
  store->lock_ = os_lock_file(lock_path.c_str(), holder);
  if (!store->lock_) {
    error = holder ? "the record " + path + " is in use by another station (process " +
                         std::to_string(holder) + ", " + lock_path + ")"
                   : "cannot lock the record " + path + " (" + lock_path +
                         "): " + os_error_text(os_last_error());
    return nullptr;
  }
  bool created = false;
  path_kind kind = path_kind::unknown;
  store->file_ = os_open_append_file(path.c_str(), created, kind);
  if (!store->file_) {
    error = kind == path_kind::other
                ? "the record " + path + " is not a regular file (a folder, a device or a link)"
                : "cannot open the record " + path + ": " + os_error_text(os_last_error());
    return nullptr;
  }
  if (created) os_sync_folder_of(path.c_str());
  if (!store->load(error, warning)) return nullptr;
  return store;
}

file_store::~file_store() {
  if (file_) fclose(file_);
  os_unlock_file(lock_);
}

// Reads the file from its start; every whole line is applied in order. The
// bytes after the last line break were being written when a crash came:
// nothing acted on them (a step waits for its line to be on the disk), so
// they are cut off.
bool file_store::load(std::string& error, std::string& warning) {
  if (fseek(file_, 0, SEEK_SET) != 0) {
    error = "cannot read the record " + path_ + ": " + os_error_text(os_last_error());
    return false;
  }
  std::string pending;
  int64_t whole_bytes = 0;
  int line_number = 0;
  char chunk[READ_CHUNK];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, file_)) > 0;) {
    pending.append(chunk, got);
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      ++line_number;
      const std::string line = pending.substr(start, end - start);
      if (!apply(line, error)) {
        error = path_ + " line " + std::to_string(line_number) +
                " is not a record of this program: " + error;
        return false;
      }
      whole_bytes += static_cast<int64_t>(end - start + 1);
    }
    pending.erase(0, start);
    if (pending.size() > LINE_LIMIT) {
      error = path_ + " line " + std::to_string(line_number + 1) +
              " is not a record of this program: far too long";
      return false;
    }
  }
  if (ferror(file_)) {
    error = "cannot read the record " + path_ + ": " + os_error_text(os_last_error());
    return false;
  }
  if (!pending.empty() && reading_only_) {
    warning = path_ + ": its last line is not finished yet (a station is writing it): passed over";
  } else if (!pending.empty()) {
    if (!os_truncate_file(file_, whole_bytes) || !os_commit_file(file_)) {
      error = "cannot cut the unfinished last line of the record " + path_ + ": " +
              os_error_text(os_last_error());
      return false;
    }
    warning = path_ + ": its last line was cut short (" + std::to_string(pending.size()) +
              " bytes, written when a run ended mid-write): ignored";
  }
  return true;
}

file_store::device_entry& file_store::device_of(campaign_records& records, const std::string& mac) {
  const auto found = records.index.find(mac);
  if (found != records.index.end()) return records.devices[found->second];
  records.index.emplace(mac, records.devices.size());
  records.devices.emplace_back();
  device_entry& device = records.devices.back();
  device.record.row.mac = mac;
  device.record.campaign = records.entry.key;
  return device;
}

namespace {

// A new attempt takes the device: one still running without a result (its
// lease ran out, or its process is gone) ends abandoned.
// An attempt whose lease ran out, taken over or left: a failed attempt.
void abandon(record_row& record, const std::string& at) {
  if (record.state != record_state::claimed || record.history.empty() ||
      !record.history.back().ended.empty())
    return;
  record.history.back().ended = at;
  record.history.back().result = "abandoned";
  record.ended_at = at;
  record.state = record_state::failed;
  record.row.result = device_result::failed;
  ++record.failed_attempts;
}

void take_over(record_row& record, int64_t attempt, const std::string& station,
               const std::string& at) {
  abandon(record, at);
  record.state = record_state::claimed;
  record.attempt = attempt;
  record.station = station;
  record.claimed_at = at;
  record.ended_at.clear();
  record.row.attempts = static_cast<int>(record.history.size()) + 1;
  record.history.push_back(attempt_entry{attempt, station, at, "", "", ""});
}

}  // namespace

bool file_store::apply(const std::string& line, std::string& error) {
  const json object = json::parse(line, nullptr, false);
  if (!object.is_object()) {
    error = "not a JSON object";
    return false;
  }
  const std::string type = json_string_at(object, "type");
  if (type == "campaign") {
    campaign_entry entry;
    entry.key = json_string_at(object, "key");
    entry.facts.image_name = json_string_at(object, "image_name");
    entry.facts.image_bytes = static_cast<uint64_t>(json_integer_at(object, "image_bytes"));
    entry.facts.expected_revision = json_string_at(object, "expected_revision");
    entry.facts.model = json_string_at(object, "model");
    entry.created = json_string_at(object, "created");
    if (!crc_of(json_string_at(object, "image_crc32"), entry.facts.image_crc32) ||
        entry.key != campaign_key(entry.facts)) {
      error = "a campaign that does not add up";
      return false;
    }
    if (campaigns_.count(entry.key) == 0) {
      campaign_order_.push_back(entry.key);
      campaigns_[entry.key].entry = entry;
    }
    return true;
  }
  const auto records = campaigns_.find(json_string_at(object, "campaign"));
  const std::string mac = json_string_at(object, "mac");
  const int64_t attempt = json_integer_at(object, "attempt");
  if (records == campaigns_.end() || !is_mac_address(mac) || mac != mac_key(mac) || attempt < 1) {
    error = "a line about no campaign or device of the record";
    return false;
  }
  device_entry& device = device_of(records->second, mac);
  record_row& record = device.record;
  if (type == "claim") {
    if (attempt != record.attempt + 1) {
      error = "an attempt out of turn";
      return false;
    }
    if (record.row.name.empty()) record.row.name = json_string_at(object, "name");
    take_over(record, attempt, json_string_at(object, "station"), json_string_at(object, "at"));
    // Only this process writes the file: a lease another process took is
    // over, since that process let go of the file (however it ended).
    device.lease_until_ms =
        static_cast<unsigned long>(json_integer_at(object, "pid")) == os_process_id()
            ? json_integer_at(object, "lease_until_ms")
            : 0;
    return true;
  }
  if (type == "abandoned") {
    if (attempt != record.attempt || record.state != record_state::claimed) {
      error = "an abandoned attempt that was not running";
      return false;
    }
    abandon(record, json_string_at(object, "at"));
    device.lease_until_ms = 0;
    return true;
  }
  record_state state = record_state::open;
  if (type != "result" || !record_state_named(json_string_at(object, "state"), state) ||
      attempt != record.attempt || record.state != record_state::claimed) {
    error = "a result of no attempt that was running";
    return false;
  }
  attempt_result result;
  if (!result_from_json(object, result)) {
    error = "a result that does not add up";
    return false;
  }
  const device_row& row = result.row;
  const std::string name = record.row.name;
  const int attempts = record.row.attempts;
  record.row = row;
  record.row.mac = mac;
  if (record.row.name.empty()) record.row.name = name;
  record.row.attempts = attempts;
  record.row.result = report_result(state);
  record.state = state;
  record.ended_at = json_string_at(object, "ended");
  record.serial_number = result.serial_number;
  record.model_number = result.model_number;
  if (state == record_state::failed) ++record.failed_attempts;
  attempt_entry& entry = record.history.back();
  entry.ended = record.ended_at;
  entry.result = record_state_name(state);
  entry.error = row.error;
  device.lease_until_ms = 0;
  return true;
}

// On the disk before the step that follows it: a crash loses this line at
// most, and a line cut short is cut off at the next start.
bool file_store::append(const std::string& line, std::string& error) {
  if (reading_only_) {
    error = "the record " + path_ + " was opened for reading only";
    return false;
  }
  if (fwrite(line.data(), 1, line.size(), file_) != line.size() || !os_commit_file(file_)) {
    error = "cannot write the record " + path_ + ": " + os_error_text(os_last_error());
    return false;
  }
  return true;
}

// Written, then taken in as a reading of the file would take it: memory
// never holds what the disk does not.
bool file_store::record_line(const nlohmann::ordered_json& line, std::string& error) {
  const std::string text = json_line(line);
  return append(text, error) && apply(text.substr(0, text.size() - 1), error);
}

file_store::campaign_records* file_store::current() {
  const auto found = campaigns_.find(current_);
  return found == campaigns_.end() ? nullptr : &found->second;
}

store_status file_store::campaigns(std::vector<campaign_entry>& found, std::string&) {
  std::lock_guard<std::mutex> hold(lock_mutex_);
  found.clear();
  for (const std::string& key : campaign_order_) found.push_back(campaigns_[key].entry);
  return store_status::ok;
}

store_status file_store::open_campaign(const campaign& c, bool create, std::string& error) {
  std::lock_guard<std::mutex> hold(lock_mutex_);
  const std::string key = campaign_key(c);
  if (campaigns_.count(key) == 0) {
    if (!create) {
      error = "the record " + path_ + " holds no campaign for this image and revision";
      return store_status::failed;
    }
    const json line = campaign_line(campaign_entry{key, c, report_time_now()});
    if (!record_line(line, error)) return store_status::failed;
  }
  current_ = key;
  return store_status::ok;
}

claim_outcome file_store::claim(const claim_request& request) {
  std::lock_guard<std::mutex> hold(lock_mutex_);
  claim_outcome outcome;
  campaign_records* records = current();
  if (!records) {
    outcome.error = "no campaign is open";
    return outcome;
  }
  outcome.status = store_status::ok;
  const auto found = records->index.find(request.mac);
  if (found != records->index.end()) {
    device_entry& device = records->devices[found->second];
    const record_row& record = device.record;
    // A lease that ran out ends its attempt abandoned, on the disk, whether
    // or not the device is taken now.
    if (record.state == record_state::claimed && device.lease_until_ms <= wall_ms()) {
      const json line{{"type", "abandoned"},
                      {"campaign", current_},
                      {"mac", request.mac},
                      {"attempt", record.attempt},
                      {"at", report_time_now()}};
      if (!record_line(line, outcome.error)) {
        outcome.status = store_status::failed;
        return outcome;
      }
    }
    outcome.state = record.state;
    outcome.holder = record.station;
    outcome.failed_attempts = record.failed_attempts;
    outcome.revision_after = record.row.revision_after;
    if (record_state_final(record.state) || record.state == record_state::claimed ||
        record.failed_attempts >= request.max_failed)
      return outcome;
  }
  const int64_t attempt =
      found == records->index.end() ? 1 : records->devices[found->second].record.attempt + 1;
  const json line{{"type", "claim"},
                  {"campaign", current_},
                  {"mac", request.mac},
                  {"name", request.name},
                  {"station", request.station},
                  {"attempt", attempt},
                  {"at", report_time_now()},
                  {"lease_until_ms", wall_ms() + request.lease_ms},
                  {"pid", os_process_id()}};
  if (!record_line(line, outcome.error)) {
    outcome.status = store_status::failed;
    return outcome;
  }
  outcome.granted = true;
  outcome.attempt = attempt;
  outcome.state = record_state::claimed;
  outcome.holder = request.station;
  outcome.failed_attempts = records->devices[records->index.at(request.mac)].record.failed_attempts;
  return outcome;
}

// Only this process writes the file, so a lease needs no line of its own:
// after a restart every lease of the process before has run out.
store_status file_store::renew(const std::string& mac, int64_t attempt, uint32_t lease_ms) {
  std::lock_guard<std::mutex> hold(lock_mutex_);
  campaign_records* records = current();
  if (!records) return store_status::failed;
  const auto found = records->index.find(mac);
  if (found == records->index.end()) return store_status::failed;
  device_entry& device = records->devices[found->second];
  if (device.record.attempt != attempt || device.record.state != record_state::claimed)
    return store_status::failed;
  device.lease_until_ms = wall_ms() + lease_ms;
  return store_status::ok;
}

finish_outcome file_store::finish(const attempt_result& result) {
  std::lock_guard<std::mutex> hold(lock_mutex_);
  finish_outcome outcome;
  campaign_records* records = current();
  if (!records) {
    outcome.error = "no campaign is open";
    return outcome;
  }
  if (result.state == record_state::open || result.state == record_state::claimed) {
    outcome.error = std::string("an attempt does not end ") + record_state_name(result.state);
    return outcome;
  }
  outcome.status = store_status::ok;
  const auto found = records->index.find(result.mac);
  if (found == records->index.end()) return outcome;
  const record_row& record = records->devices[found->second].record;
  if (record.attempt != result.attempt || record.state != record_state::claimed ||
      record.station != result.station) {
    for (const attempt_entry& entry : record.history) {
      if (entry.number == result.attempt && entry.result == record_state_name(result.state))
        outcome.outcome = write_outcome::already_written;
    }
    return outcome;
  }
  json line{{"type", "result"}, {"campaign", current_}, {"ended", report_time_now()}};
  line.update(result_json(result));
  if (!record_line(line, outcome.error)) {
    outcome.status = store_status::failed;
    return outcome;
  }
  outcome.outcome = write_outcome::written;
  return outcome;
}

store_status file_store::read(std::vector<record_row>& rows, std::string& error) {
  std::lock_guard<std::mutex> hold(lock_mutex_);
  campaign_records* records = current();
  if (!records) {
    error = "no campaign is open";
    return store_status::failed;
  }
  rows.clear();
  for (const device_entry& device : records->devices) rows.push_back(device.record);
  return store_status::ok;
}
