#include "fleet/pg_store.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include <nlohmann/json.hpp>

#include "fleet/device_row.h"
#include "fleet/printable.h"

namespace {

using steady = std::chrono::steady_clock;

// After a connection could not be made, calls within this long say
// unavailable at once: with the workers and the renewal thread each asking
// in turn, every one would otherwise wait out the connect timeout behind
// the others.
constexpr auto RECONNECT_PAUSE = std::chrono::milliseconds(500);

// A stuck or vanished peer on TCP is noticed within these (libpq ignores
// them on a Unix socket): probes after 10 s of silence, every 5 s, 3 lost
// probes; and no sent data left unacknowledged for more than 20 s.
constexpr char KEEPALIVE_IDLE_S[] = "10";
constexpr char KEEPALIVE_INTERVAL_S[] = "5";
constexpr char KEEPALIVE_COUNT[] = "3";
constexpr char TCP_USER_TIMEOUT_MS[] = "20000";
constexpr int LIBPQ_WITH_TCP_USER_TIMEOUT = 120000;

// A transaction left open by a station that stopped answering holds its
// row lock no longer than this.
constexpr int IDLE_IN_TRANSACTION_TIMEOUT_MS = 60000;

// Taken by the transaction that makes or checks the tables, so that two
// stations starting together do not both make them.
constexpr char TABLES_LOCK_KEY[] = "6119418203750195";

constexpr char PG_DIAG_MESSAGE_PRIMARY_FIELD = 'M';

// The server's time of a column as record_store.h has it: UTC, ISO 8601,
// whole seconds (as the batch report writes its times).
#define UTC_TEXT(column) "to_char(" column " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')"

// A lease of `ms` from the server's own now.
#define LEASE_END(ms) "clock_timestamp() + " ms "::double precision * interval '1 millisecond'"

// Each statement on its own: the extended protocol, which every call uses
// for its parameters, takes one statement at a time.
constexpr const char* CREATE_TABLES[] = {
    "CREATE TABLE line_schema (version integer NOT NULL)",
    "CREATE TABLE line_campaign ("
    " id bigserial PRIMARY KEY,"
    " key bytea NOT NULL UNIQUE,"
    " image_name text NOT NULL,"
    " image_bytes numeric(20, 0) NOT NULL,"
    " image_crc32 bigint NOT NULL,"
    " expected_revision text NOT NULL,"
    " model text NOT NULL,"
    " created timestamptz NOT NULL)",
    "CREATE TABLE line_device ("
    " campaign bigint NOT NULL REFERENCES line_campaign (id),"
    " mac text NOT NULL,"
    " first_claim bigserial NOT NULL,"
    " name text NOT NULL DEFAULT '',"
    " state text NOT NULL,"
    " station text NOT NULL DEFAULT '',"
    " attempt bigint NOT NULL DEFAULT 0,"
    " failed_attempts integer NOT NULL DEFAULT 0,"
    " claimed_at timestamptz,"
    " claimed_until timestamptz,"
    " ended_at timestamptz,"
    " revision_before text NOT NULL DEFAULT '',"
    " revision_after text NOT NULL DEFAULT '',"
    " error text NOT NULL DEFAULT '',"
    " error_code text NOT NULL DEFAULT '',"
    " detail text NOT NULL DEFAULT '',"
    " tries integer NOT NULL DEFAULT 0,"
    " bytes numeric(20, 0) NOT NULL DEFAULT 0,"
    " seconds double precision NOT NULL DEFAULT 0,"
    " bytes_per_second double precision NOT NULL DEFAULT 0,"
    " serial_number text NOT NULL DEFAULT '',"
    " model_number text NOT NULL DEFAULT '',"
    " PRIMARY KEY (campaign, mac))",
    "CREATE TABLE line_attempt ("
    " campaign bigint NOT NULL,"
    " mac text NOT NULL,"
    " number bigint NOT NULL,"
    " station text NOT NULL,"
    " started timestamptz NOT NULL,"
    " ended timestamptz,"
    " result text NOT NULL DEFAULT '',"
    " error text NOT NULL DEFAULT '',"
    " written text,"
    " PRIMARY KEY (campaign, mac, number),"
    " FOREIGN KEY (campaign, mac) REFERENCES line_device (campaign, mac))",
};

// Text as the server takes it: PostgreSQL refuses bytes that are not UTF-8
// and cannot keep a NUL, and a device may send either in its name. They
// become U+FFFD, so that a name never fails a claim.
std::string server_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    // A NUL is no character the server keeps.
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    uint32_t code_point = 0;
    const size_t length = lead >= 0x01 && lead <= 0x7F ? 1 : utf8_sequence(text, at, code_point);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
}

// libpq's messages end with a line break and may go on over indented
// lines: one line for ours.
std::string one_line(const char* text) {
  std::string out;
  bool space = false;
  for (const char* at = text ? text : ""; *at; ++at) {
    const char c = *at;
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = !out.empty();
    } else {
      if (space) out += ' ';
      space = false;
      out += c;
    }
  }
  return out;
}

std::string hex_of(const std::string& bytes) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out += DIGITS[byte >> 4];
    out += DIGITS[byte & 0x0F];
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string bytes_of_hex(const std::string& hex) {
  std::string out;
  for (size_t at = 0; at + 1 < hex.size(); at += 2) {
    const int high = hex_digit(hex[at]), low = hex_digit(hex[at + 1]);
    if (high < 0 || low < 0) break;
    out += static_cast<char>(high * 16 + low);
  }
  return out;
}

std::string percent_decoded(const std::string& text) {
  std::string out;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '%' && at + 2 < text.size()) {
      const int high = hex_digit(text[at + 1]), low = hex_digit(text[at + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        at += 2;
        continue;
      }
    }
    out += text[at];
  }
  return out;
}

// A number the server wrote: a figure it cannot be goes in as 0 rather
// than as something made up.
int64_t integer_of(const std::string& text) {
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  return end && *end == '\0' ? value : 0;
}

uint64_t unsigned_of(const std::string& text) {
  if (text.empty() || text[0] == '-') return 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  return end && *end == '\0' ? value : 0;
}

double real_of(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return end && *end == '\0' && std::isfinite(value) ? value : 0.0;
}

// Exactly, so that what is read back is what was written.
std::string real_text(double value) {
  if (!std::isfinite(value)) return "0";
  char text[40];
  snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// The report's nearest word for where a device stands.
device_result result_for(record_state state) {
  switch (state) {
    case record_state::ok:
      return device_result::ok;
    case record_state::failed:
      return device_result::failed;
    case record_state::already_installed:
    case record_state::rejected:
      return device_result::skipped;
    case record_state::claimed:
    case record_state::interrupted:
      return device_result::interrupted;
    default:
      return device_result::not_found;
  }
}

// What a result says, whole: a write repeated is known by it.
std::string written_text(const attempt_result& result) {
  nlohmann::ordered_json written;
  written["state"] = record_state_name(result.state);
  written["station"] = result.station;
  written["row"] = row_json(result.row);
  written["serial_number"] = result.serial_number;
  written["model_number"] = result.model_number;
  return written.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void ignore_notice(void*, const char*) {}

// SQLSTATEs after which nothing was decided and the same call may well
// go through later: the connection's class (08), the server shutting down
// or starting (57P01-57P03), a statement or lock wait that ran out
// (57014, 55P03), the server short of something (53), a transaction that
// lost to another (40001, 40P01), and a server that can only read (a
// standby while it is promoted: 25006).
bool passing_trouble(const std::string& state) {
  if (state.compare(0, 2, "08") == 0 || state.compare(0, 2, "53") == 0) return true;
  for (const char* each : {"57P01", "57P02", "57P03", "57014", "55P03", "40001", "40P01", "25006"})
    if (state == each) return true;
  return false;
}

}  // namespace

// A statement's result, cleared when it goes.
class pg_store::rows {
 public:
  explicit rows(const libpq_api& pq) : pq_(pq) {}
  ~rows() { reset(nullptr); }
  rows(const rows&) = delete;
  rows& operator=(const rows&) = delete;

  void reset(PGresult* result) {
    if (result_) pq_.PQclear(result_);
    result_ = result;
  }
  PGresult* get() const { return result_; }
  int count() const { return result_ ? pq_.PQntuples(result_) : 0; }
  // NULL reads as empty, as every absent text of the record does.
  std::string text(int row, int column) const {
    const char* value = result_ ? pq_.PQgetvalue(result_, row, column) : nullptr;
    return value ? value : "";
  }
  bool null(int row, int column) const {
    return !result_ || pq_.PQgetisnull(result_, row, column) != 0;
  }
  int64_t integer(int row, int column) const { return integer_of(text(row, column)); }

 private:
  const libpq_api& pq_;
  PGresult* result_ = nullptr;
};

struct pg_store::failure {
  store_status status = store_status::failed;
  std::string error;
  // The connection is gone: the next call makes a new one.
  bool connection_lost = false;
};

bool is_pg_uri(const std::string& where) {
  return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::string pg_uri_for_messages(const std::string& uri) {
  const size_t scheme_end = uri.find("://");
  if (scheme_end == std::string::npos) return "a PostgreSQL connection string";
  const size_t start = scheme_end + 3;
  size_t authority_end = uri.find_first_of("/?", start);
  if (authority_end == std::string::npos) authority_end = uri.size();
  std::string authority = uri.substr(start, authority_end - start);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const size_t colon = authority.find(':');
    if (colon < at) authority.erase(colon, at - colon);
  }
  std::string out = uri.substr(0, start) + authority;
  const std::string rest = uri.substr(authority_end);
  const size_t query_start = rest.find('?');
  out += rest.substr(0, query_start);
  if (query_start != std::string::npos) {
    std::string kept;
    size_t from = query_start + 1;
    while (from <= rest.size()) {
      size_t to = rest.find('&', from);
      if (to == std::string::npos) to = rest.size();
      const std::string part = rest.substr(from, to - from);
      const std::string key = percent_decoded(part.substr(0, part.find('=')));
      if (!part.empty() && key != "password") kept += (kept.empty() ? "" : "&") + part;
      from = to + 1;
    }
    if (!kept.empty()) out += "?" + kept;
  }
  if (out.size() == start) out += " (libpq's PG* environment)";
  return printable(out);
}

pg_store::pg_store(const libpq_api& pq, const std::string& uri)
    : pq_(pq), uri_(uri), where_(pg_uri_for_messages(uri)) {}

pg_store::~pg_store() {
  std::lock_guard<std::mutex> lock(mutex_);
  disconnect();
}

bool pg_store::connect(failure& failed) {
  if (connection_) return true;
  if (steady::now() < next_connect_) {
    failed = {store_status::unavailable, last_connect_error_, false};
    return false;
  }
  std::vector<const char*> keys, values;
  const auto set = [&](const char* key, const char* value) {
    keys.push_back(key);
    values.push_back(value);
  };
  // Ours first: what the URI says overrides them, except the encoding the
  // record's texts are sent in.
  const std::string connect_timeout = std::to_string(PG_CONNECT_TIMEOUT_S);
  set("fallback_application_name", "tavren-update");
  if (!std::getenv("PGCONNECT_TIMEOUT")) set("connect_timeout", connect_timeout.c_str());
  set("keepalives", "1");
  set("keepalives_idle", KEEPALIVE_IDLE_S);
  set("keepalives_interval", KEEPALIVE_INTERVAL_S);
  set("keepalives_count", KEEPALIVE_COUNT);
  // An older libpq refuses a keyword it does not know.
  if (pq_.PQlibVersion() >= LIBPQ_WITH_TCP_USER_TIMEOUT)
    set("tcp_user_timeout", TCP_USER_TIMEOUT_MS);
  set("dbname", uri_.c_str());
  set("client_encoding", "UTF8");
  set(nullptr, nullptr);

  PGconn* connection = pq_.PQconnectdbParams(keys.data(), values.data(), 1);
  if (!connection || pq_.PQstatus(connection) != PG_CONNECTION_OK) {
    const std::string why =
        connection ? one_line(pq_.PQerrorMessage(connection)) : std::string("out of memory");
    if (connection) pq_.PQfinish(connection);
    last_connect_error_ = "cannot connect to the PostgreSQL record " + where_ + ": " + why;
    next_connect_ = steady::now() + RECONNECT_PAUSE;
    failed = {store_status::unavailable, last_connect_error_, false};
    return false;
  }
  // What the server notes on the side (notices, warnings) would otherwise
  // be written to standard error, across the station's display.
  pq_.PQsetNoticeProcessor(connection, ignore_notice, nullptr);
  connection_ = connection;
  // Only where nothing bounds them yet: a site's own bounds (set for the
  // role or the database, or in the URI's options) stay as they are.
  rows settings(pq_);
  if (!run("SELECT set_config(name, value, false) FROM (VALUES"
           " ('statement_timeout', $1), ('lock_timeout', $2),"
           " ('idle_in_transaction_session_timeout', $3)) AS bound (name, value)"
           " WHERE current_setting(name) = '0'",
           {std::to_string(PG_STATEMENT_TIMEOUT_MS), std::to_string(PG_LOCK_TIMEOUT_MS),
            std::to_string(IDLE_IN_TRANSACTION_TIMEOUT_MS)},
           settings, failed)) {
    disconnect();
    return false;
  }
  return true;
}

void pg_store::disconnect() {
  if (connection_) pq_.PQfinish(connection_);
  connection_ = nullptr;
}

pg_store::failure pg_store::failure_of(const PGresult* result, const char* what) {
  failure failed;
  failed.connection_lost = !connection_ || pq_.PQstatus(connection_) != PG_CONNECTION_OK;
  const char* state = result ? pq_.PQresultErrorField(result, PG_DIAG_SQLSTATE_FIELD) : nullptr;
  const char* primary =
      result ? pq_.PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY_FIELD) : nullptr;
  std::string message = one_line(primary);
  if (message.empty() && result) message = one_line(pq_.PQresultErrorMessage(result));
  if (message.empty() && connection_) message = one_line(pq_.PQerrorMessage(connection_));
  if (message.empty()) message = "no answer";
  // A statement the client could not even send or whose answer never came
  // carries no SQLSTATE: the connection's trouble, not the statement's.
  const bool passing = failed.connection_lost || !state || passing_trouble(state);
  failed.status = passing ? store_status::unavailable : store_status::failed;
  failed.error = "PostgreSQL record " + where_ + ": " + what + ": " + message;
  if (state) failed.error += std::string(" (SQLSTATE ") + state + ")";
  return failed;
}

bool pg_store::run(const char* sql, std::initializer_list<std::string> params, rows& out,
                   failure& failed) {
  if (!connect(failed)) return false;
  std::vector<std::string> texts;
  texts.reserve(params.size());
  for (const std::string& each : params) texts.push_back(server_text(each));
  std::vector<const char*> values;
  values.reserve(texts.size());
  for (const std::string& each : texts) values.push_back(each.c_str());
  out.reset(pq_.PQexecParams(connection_, sql, static_cast<int>(values.size()), nullptr,
                             values.data(), nullptr, nullptr, 0));
  const int status = out.get() ? pq_.PQresultStatus(out.get()) : -1;
  if (status == PG_RES_COMMAND_OK || status == PG_RES_TUPLES_OK) return true;
  // The statement's first word names it in the message.
  const std::string statement = sql;
  failed = failure_of(out.get(), statement.substr(0, statement.find(' ')).c_str());
  if (failed.connection_lost) disconnect();
  return false;
}

bool pg_store::begin(const char* sql, failure& failed) {
  rows result(pq_);
  if (run(sql, {}, result, failed)) return true;
  // Nothing was done before the transaction began, so a connection found
  // lost here (the server restarted since the last call, a network that
  // came back) is made anew and the call goes on.
  if (!failed.connection_lost) return false;
  return run(sql, {}, result, failed);
}

void pg_store::abandon_transaction() {
  if (!connection_ || pq_.PQtransactionStatus(connection_) == PG_TRANS_IDLE) return;
  rows result(pq_);
  failure ignored;
  run("ROLLBACK", {}, result, ignored);
}

store_status pg_store::give_up(const failure& failed, std::string& error) {
  abandon_transaction();
  error = failed.error;
  return failed.status;
}

bool pg_store::commit(failure& failed) {
  rows result(pq_);
  if (run("COMMIT", {}, result, failed)) return true;
  abandon_transaction();
  return false;
}

bool pg_store::campaign_chosen(failure& failed) const {
  if (!campaign_id_.empty()) return true;
  failed = {store_status::failed, "no campaign is open in the PostgreSQL record " + where_, false};
  return false;
}

bool pg_store::make_or_check_tables(failure& failed) {
  if (!begin("BEGIN", failed)) return false;
  rows result(pq_);
  const auto fail = [&] {
    abandon_transaction();
    return false;
  };
  if (!run("SELECT pg_advisory_xact_lock($1::bigint)", {TABLES_LOCK_KEY}, result, failed) ||
      !run("SELECT to_regclass('line_schema') IS NOT NULL", {}, result, failed))
    return fail();
  if (result.text(0, 0) == "t") {
    if (!run("SELECT max(version) FROM line_schema", {}, result, failed)) return fail();
    if (result.count() != 1 || result.null(0, 0)) {
      failed = {store_status::failed,
                "the PostgreSQL record " + where_ + " has a line_schema table without a version",
                false};
      return fail();
    }
    const int64_t version = result.integer(0, 0);
    if (version > PG_RECORD_SCHEMA_VERSION) {
      failed = {store_status::failed,
                "the PostgreSQL record " + where_ + " has tables of version " +
                    std::to_string(version) + ", newer than this tavren-update knows (" +
                    std::to_string(PG_RECORD_SCHEMA_VERSION) +
                    "): update tavren-update on this station",
                false};
      return fail();
    }
    // Version 1 is the first: nothing older to bring up to it yet.
  } else {
    for (const char* statement : CREATE_TABLES) {
      if (!run(statement, {}, result, failed)) return fail();
    }
    if (!run("INSERT INTO line_schema (version) VALUES ($1::integer)",
             {std::to_string(PG_RECORD_SCHEMA_VERSION)}, result, failed))
      return fail();
  }
  return commit(failed);
}

bool pg_store::prepare(std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  failure failed;
  if (make_or_check_tables(failed)) return true;
  error = failed.error;
  return false;
}

store_status pg_store::campaigns(std::vector<campaign_entry>& found, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  failure failed;
  rows result(pq_);
  if (!begin("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", failed) ||
      !run("SELECT encode(key, 'hex'), image_name, image_bytes::text, image_crc32,"
           " expected_revision, model, " UTC_TEXT("created") " FROM line_campaign ORDER BY id",
           {}, result, failed) ||
      !commit(failed)) {
    abandon_transaction();
    error = failed.error;
    return failed.status;
  }
  found.clear();
  for (int row = 0; row < result.count(); ++row) {
    campaign_entry entry;
    entry.key = bytes_of_hex(result.text(row, 0));
    entry.facts.image_name = result.text(row, 1);
    entry.facts.image_bytes = unsigned_of(result.text(row, 2));
    entry.facts.image_crc32 = static_cast<uint32_t>(result.integer(row, 3));
    entry.facts.expected_revision = result.text(row, 4);
    entry.facts.model = result.text(row, 5);
    entry.created = result.text(row, 6);
    found.push_back(std::move(entry));
  }
  return store_status::ok;
}

store_status pg_store::open_campaign(const campaign& c, bool create, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  failure failed;
  rows result(pq_);
  // The key as bytes: texts that are not UTF-8 must not make two campaigns
  // one.
  const std::string key = hex_of(campaign_key(c));
  const auto fail = [&] { return give_up(failed, error); };
  if (!begin("BEGIN", failed) ||
      !run("SELECT id FROM line_campaign WHERE key = decode($1, 'hex')", {key}, result, failed))
    return fail();
  if (result.count() == 0) {
    if (!create) {
      failed = {store_status::failed,
                "the PostgreSQL record " + where_ +
                    " has no campaign of this image, expected revision and model",
                false};
      return fail();
    }
    // Another station making the same campaign at once: its row is the one.
    if (!run("INSERT INTO line_campaign (key, image_name, image_bytes, image_crc32,"
             " expected_revision, model, created)"
             " VALUES (decode($1, 'hex'), $2, $3::numeric, $4::bigint, $5, $6, clock_timestamp())"
             " ON CONFLICT (key) DO NOTHING",
             {key, c.image_name, std::to_string(c.image_bytes), std::to_string(c.image_crc32),
              c.expected_revision, c.model},
             result, failed) ||
        !run("SELECT id FROM line_campaign WHERE key = decode($1, 'hex')", {key}, result, failed))
      return fail();
  }
  if (result.count() != 1) {
    failed = {store_status::failed, "the PostgreSQL record " + where_ + " lost a campaign", false};
    return fail();
  }
  const std::string id = result.text(0, 0);
  if (!commit(failed)) return fail();
  campaign_id_ = id;
  campaign_key_ = campaign_key(c);
  return store_status::ok;
}

claim_outcome pg_store::claim(const claim_request& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  claim_outcome outcome;
  failure failed;
  rows result(pq_);
  const auto fail = [&] {
    outcome.status = give_up(failed, outcome.error);
    return outcome;
  };
  if (!campaign_chosen(failed)) return fail();
  if (request.mac.empty()) {
    failed = {store_status::failed, "a claim names no device", false};
    return fail();
  }
  const std::string& id = campaign_id_;
  const std::string& mac = request.mac;
  if (!begin("BEGIN", failed)) return fail();
  // A device seen for the first time gets its row here; another station
  // claiming it at the same moment waits for this insert, then finds the
  // row and locks it below.
  if (!run("INSERT INTO line_device (campaign, mac, name, state)"
           " VALUES ($1::bigint, $2, $3, 'open') ON CONFLICT DO NOTHING RETURNING 1",
           {id, mac, request.name}, result, failed))
    return fail();
  const bool fresh = result.count() == 1;
  // The row lock is held for the few statements below, never longer.
  if (!run("SELECT state, station, attempt, failed_attempts,"
           " claimed_until IS NOT NULL AND claimed_until > clock_timestamp(), revision_after"
           " FROM line_device WHERE campaign = $1::bigint AND mac = $2 FOR UPDATE",
           {id, mac}, result, failed))
    return fail();
  record_state state = record_state::open;
  if (result.count() != 1 || !record_state_named(result.text(0, 0), state)) {
    failed = {store_status::failed,
              "the PostgreSQL record " + where_ + " holds a row of " + printable(mac) +
                  " in no state this program knows",
              false};
    return fail();
  }
  const std::string holder = result.text(0, 1);
  const int64_t latest = result.integer(0, 2);
  int failed_attempts = static_cast<int>(result.integer(0, 3));
  const bool lease_runs = result.text(0, 4) == "t";
  const std::string revision_after = result.text(0, 5);
  bool changed = false;

  if (state == record_state::claimed && lease_runs) {
    abandon_transaction();
    outcome.status = store_status::ok;
    outcome.state = state;
    outcome.holder = holder;
    outcome.failed_attempts = failed_attempts;
    outcome.revision_after = revision_after;
    return outcome;
  }
  if (state == record_state::claimed) {
    // Its station's lease ran out: that attempt is over, and it failed.
    const std::string why = "the lease of station " + holder + " ran out before it wrote a result";
    if (!run("UPDATE line_attempt SET ended = clock_timestamp(), result = 'abandoned', error = $4"
             " WHERE campaign = $1::bigint AND mac = $2 AND number = $3::bigint AND ended IS NULL",
             {id, mac, std::to_string(latest), why}, result, failed) ||
        !run("UPDATE line_device SET state = 'failed', failed_attempts = failed_attempts + 1,"
             " ended_at = clock_timestamp(), claimed_until = NULL, error = $3,"
             " error_code = 'abandoned', detail = ''"
             " WHERE campaign = $1::bigint AND mac = $2",
             {id, mac, why}, result, failed))
      return fail();
    state = record_state::failed;
    ++failed_attempts;
    changed = true;
  }
  if (record_state_final(state) || failed_attempts >= request.max_failed) {
    // A row made only to be left alone is not kept: the record lists the
    // devices that were claimed.
    if (changed && !fresh) {
      if (!commit(failed)) return fail();
    } else {
      abandon_transaction();
    }
    outcome.status = store_status::ok;
    outcome.state = state;
    outcome.failed_attempts = failed_attempts;
    outcome.holder = holder;
    outcome.revision_after = revision_after;
    return outcome;
  }
  if (!run("UPDATE line_device SET state = 'claimed', station = $3,"
           " name = COALESCE(NULLIF($4::text, ''), name), attempt = attempt + 1,"
           " claimed_at = clock_timestamp(), claimed_until = " LEASE_END(
               "$5") ", ended_at = NULL"
                     " WHERE campaign = $1::bigint AND mac = $2 RETURNING attempt",
           {id, mac, request.station, request.name, std::to_string(request.lease_ms)}, result,
           failed) ||
      result.count() != 1)
    return fail();
  const int64_t attempt = result.integer(0, 0);
  if (!run("INSERT INTO line_attempt (campaign, mac, number, station, started)"
           " VALUES ($1::bigint, $2, $3::bigint, $4, clock_timestamp())",
           {id, mac, std::to_string(attempt), request.station}, result, failed) ||
      !commit(failed))
    return fail();
  outcome.status = store_status::ok;
  outcome.granted = true;
  outcome.attempt = attempt;
  outcome.state = record_state::claimed;
  outcome.holder = request.station;
  outcome.failed_attempts = failed_attempts;
  return outcome;
}

store_status pg_store::renew(const std::string& mac, int64_t attempt, uint32_t lease_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  failure failed;
  rows result(pq_);
  // Held while the lease ran out but nobody took the device yet: the
  // attempt is still the one on record.
  if (!campaign_chosen(failed) || !begin("BEGIN", failed) ||
      !run("UPDATE line_device SET claimed_until = " LEASE_END(
               "$4") " WHERE campaign = $1::bigint AND mac = $2 AND state = 'claimed'"
                     " AND attempt = $3::bigint RETURNING 1",
           {campaign_id_, mac, std::to_string(attempt), std::to_string(lease_ms)}, result,
           failed)) {
    abandon_transaction();
    return failed.status;
  }
  const bool held = result.count() == 1;
  if (!commit(failed)) return failed.status;
  return held ? store_status::ok : store_status::failed;
}

finish_outcome pg_store::finish(const attempt_result& done) {
  std::lock_guard<std::mutex> lock(mutex_);
  finish_outcome outcome;
  failure failed;
  rows result(pq_);
  const auto fail = [&] {
    outcome.status = give_up(failed, outcome.error);
    return outcome;
  };
  if (!campaign_chosen(failed)) return fail();
  if (done.state == record_state::open || done.state == record_state::claimed) {
    failed = {store_status::failed,
              std::string("an attempt cannot end ") + record_state_name(done.state), false};
    return fail();
  }
  const std::string& id = campaign_id_;
  const std::string attempt = std::to_string(done.attempt);
  const std::string written = written_text(done);
  if (!begin("BEGIN", failed) || !run("SELECT state, attempt, station FROM line_device"
                                      " WHERE campaign = $1::bigint AND mac = $2 FOR UPDATE",
                                      {id, done.mac}, result, failed))
    return fail();
  const bool holds = result.count() == 1 && result.text(0, 0) == "claimed" &&
                     result.integer(0, 1) == done.attempt &&
                     result.text(0, 2) == server_text(done.station);
  if (!holds) {
    if (!run("SELECT written FROM line_attempt"
             " WHERE campaign = $1::bigint AND mac = $2 AND number = $3::bigint",
             {id, done.mac, attempt}, result, failed))
      return fail();
    const bool repeated = result.count() == 1 && !result.null(0, 0) && result.text(0, 0) == written;
    abandon_transaction();
    outcome.status = store_status::ok;
    outcome.outcome = repeated ? write_outcome::already_written : write_outcome::fenced;
    return outcome;
  }
  const device_row& row = done.row;
  const bool counts_as_failed = done.state == record_state::failed;
  if (!run("UPDATE line_device SET state = $3, ended_at = clock_timestamp(),"
           " claimed_until = NULL, failed_attempts = failed_attempts + $4::integer,"
           " name = COALESCE(NULLIF($5::text, ''), name), revision_before = $6,"
           " revision_after = $7, error = $8, error_code = $9, detail = $10, tries = $11::integer,"
           " bytes = $12::numeric, seconds = $13::double precision,"
           " bytes_per_second = $14::double precision, serial_number = $15, model_number = $16"
           " WHERE campaign = $1::bigint AND mac = $2",
           {id, done.mac, record_state_name(done.state), counts_as_failed ? "1" : "0", row.name,
            row.revision_before, row.revision_after, row.error, row.error_code, row.detail,
            std::to_string(row.attempts), std::to_string(row.bytes), real_text(row.seconds),
            real_text(row.bytes_per_second), done.serial_number, done.model_number},
           result, failed) ||
      !run("UPDATE line_attempt SET ended = clock_timestamp(), result = $4, error = $5,"
           " written = $6 WHERE campaign = $1::bigint AND mac = $2 AND number = $3::bigint",
           {id, done.mac, attempt, record_state_name(done.state), row.error, written}, result,
           failed) ||
      !commit(failed))
    return fail();
  outcome.status = store_status::ok;
  outcome.outcome = write_outcome::written;
  return outcome;
}

store_status pg_store::read(std::vector<record_row>& found, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  failure failed;
  rows devices(pq_), attempts(pq_);
  const auto fail = [&] { return give_up(failed, error); };
  if (!campaign_chosen(failed)) return fail();
  // Both from one snapshot: a history always matches its row.
  if (!begin("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", failed) ||
      !run("SELECT mac, name, state, station, attempt, failed_attempts, " UTC_TEXT(
               "claimed_at") ", " UTC_TEXT("ended_at") ", revision_before, revision_after, error, "
                                                       "error_code, detail,"
                                                       " tries, bytes::text, seconds, "
                                                       "bytes_per_second, serial_number, "
                                                       "model_number"
                                                       " FROM line_device WHERE campaign = "
                                                       "$1::bigint AND state <> 'open'"
                                                       " ORDER BY first_claim",
           {campaign_id_}, devices, failed) ||
      !run("SELECT mac, number, station, " UTC_TEXT("started") ", " UTC_TEXT(
               "ended") ", result, error FROM line_attempt WHERE campaign = $1::bigint ORDER BY "
                        "mac, number",
           {campaign_id_}, attempts, failed) ||
      !commit(failed))
    return fail();
  std::vector<record_row> rows_read;
  std::map<std::string, size_t> by_mac;
  for (int at = 0; at < devices.count(); ++at) {
    record_row row;
    const auto text = [&](int column) { return devices.text(at, column); };
    row.row.mac = text(0);
    row.row.name = text(1);
    if (!record_state_named(text(2), row.state)) row.state = record_state::open;
    row.row.result = result_for(row.state);
    row.campaign = campaign_key_;
    row.station = text(3);
    row.attempt = devices.integer(at, 4);
    row.failed_attempts = static_cast<int>(devices.integer(at, 5));
    row.claimed_at = text(6);
    row.ended_at = text(7);
    row.row.revision_before = text(8);
    row.row.revision_after = text(9);
    row.row.error = text(10);
    row.row.error_code = text(11);
    row.row.detail = text(12);
    row.row.attempts = static_cast<int>(devices.integer(at, 13));
    row.row.bytes = unsigned_of(text(14));
    row.row.seconds = real_of(text(15));
    row.row.bytes_per_second = real_of(text(16));
    row.serial_number = text(17);
    row.model_number = text(18);
    by_mac[row.row.mac] = rows_read.size();
    rows_read.push_back(std::move(row));
  }
  for (int at = 0; at < attempts.count(); ++at) {
    const auto owner = by_mac.find(attempts.text(at, 0));
    if (owner == by_mac.end()) continue;
    attempt_entry entry;
    entry.number = attempts.integer(at, 1);
    entry.station = attempts.text(at, 2);
    entry.started = attempts.text(at, 3);
    entry.ended = attempts.text(at, 4);
    entry.result = attempts.text(at, 5);
    entry.error = attempts.text(at, 6);
    rows_read[owner->second].history.push_back(std::move(entry));
  }
  found = std::move(rows_read);
  return store_status::ok;
}

std::unique_ptr<record_store> open_pg_store(const std::string& uri, std::string& error,
                                            exit_status& status, const char* libpq_file) {
  if (!is_pg_uri(uri)) {
    error = "a PostgreSQL record is named by a postgresql:// or postgres:// URI";
    status = exit_status::bad_input;
    return nullptr;
  }
  libpq_api table{};
  if (libpq_file) {
    if (!libpq_api_try_load(libpq_file, table, error)) {
      status = exit_status::library_unusable;
      return nullptr;
    }
  } else {
    const libpq_api* shared = libpq_api_get(error);
    if (!shared) {
      status = exit_status::library_unusable;
      return nullptr;
    }
    table = *shared;
  }
  auto store = std::make_unique<pg_store>(table, uri);
  if (!store->prepare(error)) {
    status = exit_status::report_unwritable;
    return nullptr;
  }
  return store;
}
