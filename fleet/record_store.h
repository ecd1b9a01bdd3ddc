// The record of a production line: which device got which image, decided
// and kept for every station at once. A campaign is one image (name, size,
// CRC-32) sent to devices that must come back on one revision, of one model
// or any; its record has a row per device and the history of every attempt
// at it.
//
// A store is the seam between the line and where the record lives: a local
// file for one station (file_store.h), PostgreSQL for many (pg_store.h).
// Both keep the same contract, written at each operation below, and pass
// one shared set of tests.
//
// Claims are leases, never locks held over a transfer: a station takes a
// device for LINE_LEASE_MS and renews the lease while it works; another may
// take the device only once the lease ran out, and the attempt that held
// it ends `abandoned`. Every attempt has a number, counted per device; a
// result is written only by the attempt that still holds the claim, so a
// late or a repeated write changes nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fleet/device_row.h"
#include "fleet/exit_status.h"

// How long a claim lasts unless renewed, and how often a station renews
// the claims of the devices it works on (in the store's own time, which
// tests do not compress: it is the time other stations see).
constexpr uint32_t LINE_LEASE_MS = 30000;
constexpr uint32_t LINE_RENEW_MS = 10000;

struct campaign {
  std::string image_name;
  uint64_t image_bytes = 0;
  uint32_t image_crc32 = 0;       // as the update sends it (CRC-32/JAMCRC)
  std::string expected_revision;  // empty: not verified (a batch without --expect-revision)
  std::string model;              // empty: any model
};

// What tells one campaign from another: the image by its size and CRC-32,
// the expected revision and the model. The image's name is not part of it:
// the same bytes under another name are the same campaign.
std::string campaign_key(const campaign& c);

// Where a device stands in a campaign. A device is taken again (claimed)
// unless it is ok, already_installed or rejected, or a lease on it still
// runs, or it failed as often as the line allows.
enum class record_state { open, claimed, ok, failed, already_installed, rejected, interrupted };
const char* record_state_name(record_state state);
bool record_state_named(const std::string& name, record_state& state);
// ok, already_installed and rejected: nothing more is done to the device.
bool record_state_final(record_state state);

// One attempt at a device, as its history keeps it. `result`: a final
// state's name, "failed", "interrupted", or "abandoned" (its station's
// lease ran out and another took the device); empty while it runs.
struct attempt_entry {
  int64_t number = 0;
  std::string station;
  std::string started;  // UTC, ISO 8601
  std::string ended;    // empty while it runs
  std::string result;
  std::string error;
};

// A device's row: the report's fields, and who did what when.
struct record_row {
  device_row row;  // its result is the batch report's nearest word for `state`
  record_state state = record_state::open;
  std::string campaign;  // campaign_key
  std::string station;   // of the latest attempt
  std::string claimed_at, ended_at;
  std::string serial_number, model_number;
  int64_t attempt = 0;  // the latest attempt's number
  int failed_attempts = 0;
  std::vector<attempt_entry> history;
};

// How a call to a store went. `unavailable`: the store could not be
// reached (a database restarting, a network gone): nothing was decided, and
// the same call may be made again later. `failed`: the store answered that
// it cannot do this, and will not later either.
enum class store_status { ok, unavailable, failed };

struct claim_request {
  std::string mac;      // upper case
  std::string name;     // as the device advertised it
  std::string station;  // who claims
  int max_failed = 3;   // failed (and abandoned) attempts after which it is left alone
  uint32_t lease_ms = LINE_LEASE_MS;
};

struct claim_outcome {
  store_status status = store_status::failed;
  bool granted = false;
  int64_t attempt = 0;  // granted: the attempt's number, its fencing token
  // Not granted: where the device stands, who holds it (or held it last),
  // the revision it came back on when the record has one.
  record_state state = record_state::open;
  std::string holder;
  int failed_attempts = 0;
  std::string revision_after;
  std::string error;  // status not ok: why
};

// What an attempt came to, written once it ended.
struct attempt_result {
  std::string mac;
  int64_t attempt = 0;
  std::string station;
  record_state state = record_state::failed;  // a final state, failed or interrupted
  device_row row;
  std::string serial_number, model_number;
};

// A result as one JSON object and back (a line of a local file): its MAC,
// attempt, station, state, the row's fields and the device's serial and
// model numbers. False when `object` is not one.
nlohmann::ordered_json result_json(const attempt_result& result);
bool result_from_json(const nlohmann::ordered_json& object, attempt_result& result);

enum class write_outcome {
  written,          // the attempt held the claim: the record says what it came to
  already_written,  // this very result was on record already (a write repeated)
  fenced,           // the attempt no longer holds the claim: nothing changed
};

struct finish_outcome {
  store_status status = store_status::failed;
  write_outcome outcome = write_outcome::fenced;
  std::string error;
};

// A campaign as the record lists it.
struct campaign_entry {
  std::string key;
  campaign facts;
  std::string created;  // UTC, ISO 8601
};

class record_store {
 public:
  virtual ~record_store() = default;

  // Where the record lives, for messages ("line-record.ndjson",
  // "postgresql://line@db/line").
  virtual std::string where() const = 0;

  // The campaigns the record holds, oldest first.
  virtual store_status campaigns(std::vector<campaign_entry>& found, std::string& error) = 0;

  // Opens the campaign (by its key), making it when it is new and `create`
  // says so; `failed` when it is not there and may not be made. Every
  // later call is about this campaign.
  virtual store_status open_campaign(const campaign& c, bool create, std::string& error) = 0;

  // Takes the device for `request.station` when the record lets it be
  // taken (see record_state), in one short step that no other station's
  // claim can interleave with: the device's failed attempts are below
  // max_failed, it is in no final state, and no lease on it runs. A lease
  // that ran out ends its attempt `abandoned` (a failed attempt). The new
  // attempt's number is one more than the device's latest.
  virtual claim_outcome claim(const claim_request& request) = 0;

  // Extends the lease of `attempt` by `lease_ms` from now. `failed` when
  // the attempt no longer holds the claim (another station took the device
  // after the lease ran out): the caller stops working on it.
  virtual store_status renew(const std::string& mac, int64_t attempt, uint32_t lease_ms) = 0;

  // Writes what the attempt came to, only while it holds the claim; a
  // result already on record for that attempt is not written twice.
  virtual finish_outcome finish(const attempt_result& result) = 0;

  // The campaign's rows, each device once, in the order they were first
  // claimed, with their histories.
  virtual store_status read(std::vector<record_row>& rows, std::string& error) = 0;
};

// Whether `where` names a PostgreSQL record ("postgresql://..." or
// "postgres://...") rather than a local file.
bool names_shared_record(const std::string& where);

// How a store is opened: by a station that writes it (a file is taken for
// this process, a lock beside it, and a last line cut short is cut off), or
// only to read it (`record show`: no lock, such a line passed over).
enum class store_use { station, reading };

// The store `where` names: PostgreSQL for a shared record's URI (an empty
// one after the scheme takes libpq's PG* environment), else a local file.
// Null, with `error` and the exit status to end with (library_unusable
// when libpq cannot be loaded, bad_input for a file that is no record or
// is in use), when it cannot be used; `warning` says what was passed over.
std::unique_ptr<record_store> open_record_store(const std::string& where, store_use use,
                                                std::string& error, std::string& warning,
                                                exit_status& status);
