#include "fleet/spooled_store.h"

#include <algorithm>

#include "fleet/json_text.h"
#include "platform/os.h"

namespace {

using json = nlohmann::ordered_json;

constexpr char LOCK_SUFFIX[] = ".lock";
constexpr size_t READ_CHUNK = 64 * 1024;

bool same_attempt(const attempt_result& a, const attempt_result& b) {
  return a.mac == b.mac && a.attempt == b.attempt;
}

}  // namespace

std::unique_ptr<spooled_store> spooled_store::open(std::unique_ptr<record_store> inner,
                                                   const std::string& spool_path,
                                                   std::function<void(const std::string&)> say,
                                                   std::string& error) {
  std::unique_ptr<spooled_store> store(new spooled_store);
  store->inner_ = std::move(inner);
  store->spool_path_ = spool_path;
  store->say_ = std::move(say);
  unsigned long holder = 0;
  const std::string lock_path = spool_path + LOCK_SUFFIX;
  store->lock_ = os_lock_file(lock_path.c_str(), holder);
  if (!store->lock_) {
    error = holder
                ? "the station's file " + spool_path + " is in use by another station (process " +
                      std::to_string(holder) + "): give each station its own --station"
                : "cannot lock the station's file " + spool_path + ": " +
                      os_error_text(os_last_error());
    return nullptr;
  }
  bool created = false;
  path_kind kind = path_kind::unknown;
  store->file_ = os_open_append_file(spool_path.c_str(), created, kind);
  if (!store->file_) {
    error = "cannot open the station's file " + spool_path + ": " +
            (kind == path_kind::other ? std::string("not a regular file")
                                      : os_error_text(os_last_error()));
    return nullptr;
  }
  if (created) os_sync_folder_of(spool_path.c_str());
  if (!store->load(error)) return nullptr;
  return store;
}

spooled_store::~spooled_store() {
  if (file_) fclose(file_);
  os_unlock_file(lock_);
}

// The results kept and not marked written. A line cut short by a crash is
// cut off: the result it held had not been said safe yet.
bool spooled_store::load(std::string& error) {
  std::string text;
  char chunk[READ_CHUNK];
  fseek(file_, 0, SEEK_SET);
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, file_)) > 0;) text.append(chunk, got);
  const size_t whole = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
  if (whole != text.size() && !os_truncate_file(file_, static_cast<int64_t>(whole))) {
    error = "cannot cut the unfinished last line of " + spool_path_ + ": " +
            os_error_text(os_last_error());
    return false;
  }
  int number = 0;
  for (size_t start = 0, end; start < whole; start = end + 1) {
    end = text.find('\n', start);
    ++number;
    const json object = json::parse(text.substr(start, end - start), nullptr, false);
    kept_result kept;
    kept.campaign = object.is_object() ? json_string_at(object, "campaign") : std::string();
    const std::string type = object.is_object() ? json_string_at(object, "type") : std::string();
    if (type == "result" && result_from_json(object, kept.result) && !kept.campaign.empty()) {
      kept_.push_back(kept);
    } else if (type == "written" && !kept.campaign.empty()) {
      const std::string mac = json_string_at(object, "mac");
      const int64_t attempt = object.value("attempt", int64_t{0});
      kept_.erase(std::remove_if(kept_.begin(), kept_.end(),
                                 [&](const kept_result& each) {
                                   return each.campaign == kept.campaign &&
                                          each.result.mac == mac && each.result.attempt == attempt;
                                 }),
                  kept_.end());
    } else {
      error = spool_path_ + " line " + std::to_string(number) + " is not one of this program's";
      return false;
    }
  }
  return true;
}

bool spooled_store::keep(const kept_result& kept, std::string& error) {
  json line{{"type", "result"}, {"campaign", kept.campaign}};
  line.update(result_json(kept.result));
  const std::string text = json_line(line);
  if (fwrite(text.data(), 1, text.size(), file_) != text.size() || !os_commit_file(file_)) {
    error = "cannot keep the result in " + spool_path_ + ": " + os_error_text(os_last_error());
    return false;
  }
  kept_.push_back(kept);
  return true;
}

// A marker that fails to be written costs a repeated write at the next
// start, which the record answers with already_written: nothing twice.
bool spooled_store::mark_written(const kept_result& kept) {
  const std::string text = json_line(json{{"type", "written"},
                                          {"campaign", kept.campaign},
                                          {"mac", kept.result.mac},
                                          {"attempt", kept.result.attempt}});
  return fwrite(text.data(), 1, text.size(), file_) == text.size() && os_commit_file(file_);
}

void spooled_store::note_answer(store_status status, const std::string& error) {
  bool went = false, came = false;
  size_t waiting = 0;
  {
    std::lock_guard<std::mutex> hold(lock_mutex_);
    const bool away = status == store_status::unavailable;
    went = away && !away_;
    came = !away && away_;
    away_ = away;
    waiting = kept_.size();
  }
  if (went && say_)
    say_("the record " + inner_->where() + " does not answer (" + error +
         "): no device is claimed until it does; results are kept in " + spool_path_);
  if (came && say_)
    say_("the record " + inner_->where() + " answers again; " + std::to_string(waiting) +
         " result(s) kept meanwhile are written to it");
}

std::string spooled_store::where() const {
  return inner_->where();
}

store_status spooled_store::campaigns(std::vector<campaign_entry>& found, std::string& error) {
  const store_status status = inner_->campaigns(found, error);
  note_answer(status, error);
  return status;
}

store_status spooled_store::open_campaign(const campaign& c, bool create, std::string& error) {
  const store_status status = inner_->open_campaign(c, create, error);
  note_answer(status, error);
  if (status == store_status::ok) {
    std::lock_guard<std::mutex> hold(lock_mutex_);
    campaign_ = campaign_key(c);
  }
  return status;
}

claim_outcome spooled_store::claim(const claim_request& request) {
  flush();
  const claim_outcome outcome = inner_->claim(request);
  note_answer(outcome.status, outcome.error);
  return outcome;
}

store_status spooled_store::renew(const std::string& mac, int64_t attempt, uint32_t lease_ms) {
  const store_status status = inner_->renew(mac, attempt, lease_ms);
  note_answer(status, "a lease could not be renewed");
  return status;
}

finish_outcome spooled_store::finish(const attempt_result& result) {
  flush();
  finish_outcome outcome = inner_->finish(result);
  note_answer(outcome.status, outcome.error);
  if (outcome.status != store_status::unavailable) return outcome;
  std::lock_guard<std::mutex> hold(lock_mutex_);
  if (!keep(kept_result{campaign_, result}, outcome.error)) {
    outcome.status = store_status::failed;
    return outcome;
  }
  outcome.status = store_status::ok;
  outcome.outcome = write_outcome::written;
  return outcome;
}

store_status spooled_store::read(std::vector<record_row>& rows, std::string& error) {
  const store_status status = inner_->read(rows, error);
  note_answer(status, error);
  return status;
}

// One at a time, in the order they ended; the first the record does not
// take ends the turn (it is away again). Results of another campaign wait
// for a line of theirs.
void spooled_store::flush() {
  for (;;) {
    kept_result next;
    {
      std::lock_guard<std::mutex> hold(lock_mutex_);
      const auto waiting = std::find_if(kept_.begin(), kept_.end(), [&](const kept_result& kept) {
        return kept.campaign == campaign_;
      });
      if (waiting == kept_.end()) return;
      next = *waiting;
    }
    const finish_outcome outcome = inner_->finish(next.result);
    note_answer(outcome.status, outcome.error);
    if (outcome.status == store_status::unavailable) return;
    std::lock_guard<std::mutex> hold(lock_mutex_);
    mark_written(next);
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->campaign == next.campaign && same_attempt(it->result, next.result)) {
        kept_.erase(it);
        break;
      }
    }
  }
}

bool spooled_store::away() const {
  std::lock_guard<std::mutex> hold(lock_mutex_);
  return away_;
}

size_t spooled_store::pending() const {
  std::lock_guard<std::mutex> hold(lock_mutex_);
  return kept_.size();
}
