// The line's record in PostgreSQL, shared by every station that names the
// same database: the store of record_store.h over libpq, loaded at run time
// (libpq_api.h).
//
// Four tables, made on first use in the first schema of the connection's
// search_path: line_schema (the tables' version), line_campaign,
// line_device (a row per device and campaign: where it stands, its lease,
// its latest result) and line_attempt (every attempt's history). Every
// decision is taken by the server in one short transaction, and every time
// that matters (a lease's end above all) is the server's clock, so the
// stations' own clocks never decide who holds a device.
#pragma once

#include <chrono>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>

#include "fleet/exit_status.h"
#include "fleet/libpq_api.h"
#include "fleet/record_store.h"

// The tables' layout this program writes. A record whose tables are newer
// is refused (an older station must not write what it does not know);
// older ones are brought up to this.
constexpr int PG_RECORD_SCHEMA_VERSION = 1;

// Bounds on every call, so that no station waits without end on a server
// that is gone or stuck: the connection's set-up, one statement, and a
// wait for another station's row lock (claims hold theirs for a few
// milliseconds).
constexpr int PG_CONNECT_TIMEOUT_S = 10;
constexpr int PG_STATEMENT_TIMEOUT_MS = 15000;
constexpr int PG_LOCK_TIMEOUT_MS = 5000;

// Whether `where` names a PostgreSQL record ("postgresql://..." or
// "postgres://...").
bool is_pg_uri(const std::string& where);

// The URI as messages show it: its password, in the authority or as a
// parameter, left out.
std::string pg_uri_for_messages(const std::string& uri);

class pg_store : public record_store {
 public:
  pg_store(const libpq_api& pq, const std::string& uri);
  ~pg_store() override;
  pg_store(const pg_store&) = delete;
  pg_store& operator=(const pg_store&) = delete;

  // Connects, then makes the tables or checks their version. False with
  // the reason when the record cannot be used: unreachable, or newer than
  // this program.
  bool prepare(std::string& error);

  std::string where() const override { return where_; }
  store_status campaigns(std::vector<campaign_entry>& found, std::string& error) override;
  store_status open_campaign(const campaign& c, bool create, std::string& error) override;
  claim_outcome claim(const claim_request& request) override;
  store_status renew(const std::string& mac, int64_t attempt, uint32_t lease_ms) override;
  finish_outcome finish(const attempt_result& result) override;
  store_status read(std::vector<record_row>& rows, std::string& error) override;

 private:
  class rows;
  struct failure;

  bool connect(failure& failed);
  void disconnect();
  bool run(const char* sql, std::initializer_list<std::string> params, rows& out, failure& failed);
  bool begin(const char* sql, failure& failed);
  void abandon_transaction();
  // Rolls back what the failed call began; its status, with the reason.
  store_status give_up(const failure& failed, std::string& error);
  bool commit(failure& failed);
  bool campaign_chosen(failure& failed) const;
  bool make_or_check_tables(failure& failed);
  failure failure_of(const PGresult* result, const char* what);

  const libpq_api pq_;
  const std::string uri_;
  const std::string where_;

  // One connection for the worker threads and the renewal thread alike:
  // every call is a few short statements, and taking turns keeps a
  // transaction's statements together on the one connection.
  std::mutex mutex_;
  PGconn* connection_ = nullptr;
  std::chrono::steady_clock::time_point next_connect_;
  std::string last_connect_error_;
  std::string campaign_id_;  // line_campaign.id of the open campaign, as text
  std::string campaign_key_;
};

// The PostgreSQL record at `uri` (see is_pg_uri; an empty one after the
// scheme takes libpq's PG* environment), ready for open_campaign. Null with
// `error` and the status to end with when it cannot be used:
// library_unusable when libpq cannot be loaded, report_unwritable when the
// server cannot be reached or its tables are newer than this program,
// bad_input for what is no PostgreSQL URI. `libpq_file`, when given, is
// loaded instead of the platform's libpq.
std::unique_ptr<record_store> open_pg_store(const std::string& uri, std::string& error,
                                            exit_status& status, const char* libpq_file = nullptr);
