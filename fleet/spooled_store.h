// A shared record that may be away for a while (a database restarting, a
// network gone) without a result being lost. While the record does not
// answer, nothing new is claimed (claim says unavailable), and the result
// of every attempt that ends meanwhile is kept in a local file of the
// station's, pushed to the disk before the device's next step; once the
// record answers again they are written to it, each once (a result the
// record took already is not written twice), and marked written in the
// file. A station that ends before then finds them in the file at its next
// start and writes them first.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fleet/record_store.h"

struct os_file_lock;

class spooled_store final : public record_store {
 public:
  // `inner`: the shared record; `spool_path`: the station's local file
  // (made when it is not there, held by this process while it lives);
  // `say`: where a person is told that the record went away or came back
  // (any thread).
  static std::unique_ptr<spooled_store> open(std::unique_ptr<record_store> inner,
                                             const std::string& spool_path,
                                             std::function<void(const std::string&)> say,
                                             std::string& error);
  ~spooled_store() override;

  std::string where() const override;
  store_status campaigns(std::vector<campaign_entry>& found, std::string& error) override;
  store_status open_campaign(const campaign& c, bool create, std::string& error) override;
  claim_outcome claim(const claim_request& request) override;
  store_status renew(const std::string& mac, int64_t attempt, uint32_t lease_ms) override;
  // Written to the record, or when it does not answer, kept in the file:
  // `written` either way (the result is safe), `failed` only when the file
  // cannot be written either.
  finish_outcome finish(const attempt_result& result) override;
  store_status read(std::vector<record_row>& rows, std::string& error) override;

  // Writes what the file keeps for the open campaign, while the record
  // answers. Any thread; cheap when nothing waits.
  void flush();
  // Results kept in the file and not yet written to the record.
  size_t pending() const;
  // The record did not answer the latest call made to it.
  bool away() const;
  const std::string& spool_path() const { return spool_path_; }

 private:
  struct kept_result {
    std::string campaign;
    attempt_result result;
  };

  spooled_store() = default;
  bool load(std::string& error);
  bool keep(const kept_result& kept, std::string& error);
  bool mark_written(const kept_result& kept);
  void note_answer(store_status status, const std::string& error);

  std::unique_ptr<record_store> inner_;
  std::string spool_path_;
  std::function<void(const std::string&)> say_;
  FILE* file_ = nullptr;
  os_file_lock* lock_ = nullptr;
  mutable std::mutex lock_mutex_;  // the file, the kept results, the campaign key, `away_`
  std::vector<kept_result> kept_;  // in the order they ended
  std::string campaign_;           // the open campaign's key
  bool away_ = false;              // the record did not answer the last call
};
