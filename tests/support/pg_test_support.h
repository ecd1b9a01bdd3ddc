// PostgreSQL for the tests: the shared throwaway server that
// scripts/test.sh starts (its URI in TAVREN_TEST_POSTGRES), a record of a
// test's own in it (a schema no other test uses), plain SQL beside the
// store, and a server of a test's own that it may stop and start.
//
// A test that stops a server must use its own (pg_private_server): the
// shared one serves every other test running at the same time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fleet/libpq_api.h"

// The shared server's URI; false with the reason to give when there is
// none (not run through scripts/test.sh, or libpq missing).
bool pg_test_server_uri(std::string& uri, std::string& why);

// Whether a missing server is a failure rather than a reason to skip:
// scripts/test.sh says so once it started the server.
bool pg_test_server_required();

// Ends the test when PostgreSQL is not there: a skip that says why, or a
// failure when the server should have been there.
#define PG_TEST_REQUIRE(available, why) \
  do {                                  \
    if (!(available)) {                 \
      if (pg_test_server_required()) {  \
        FAIL() << (why);                \
      } else {                          \
        GTEST_SKIP() << (why);          \
      }                                 \
    }                                   \
  } while (0)

// `uri` with a parameter added ("key=value", the value percent-encoded).
std::string pg_uri_with(const std::string& uri, const std::string& key, const std::string& value);

// A connection of the test's own, for what the store does not show: a
// schema made or dropped, a table looked at or spoiled, a row lock held.
class pg_sql {
 public:
  ~pg_sql();
  // False with the reason when it cannot connect.
  bool connect(const std::string& uri, std::string& error);
  // One statement; the rows as text (NULL as empty). False with the
  // server's words.
  bool run(const std::string& statement, const std::vector<std::string>& params,
           std::vector<std::vector<std::string>>& rows, std::string& error);
  bool run(const std::string& statement, std::string& error);

 private:
  const libpq_api* pq_ = nullptr;
  PGconn* connection_ = nullptr;
};

// A record no other test uses: a schema of its own in the server at
// `server_uri`, named by the URI it returns (its search_path), dropped when
// this goes.
class pg_test_record {
 public:
  ~pg_test_record();
  bool make(const std::string& server_uri, std::string& error);
  const std::string& uri() const { return uri_; }
  const std::string& schema() const { return schema_; }

 private:
  pg_sql sql_;
  std::string uri_, schema_;
};

// A server of the test's own (scripts/pg_test_server.sh in a folder of
// its own), removed when this goes.
class pg_private_server {
 public:
  ~pg_private_server();
  // False with the script's words when it cannot be made.
  bool up(std::string& why);
  bool stop(std::string& why);
  bool start(std::string& why);
  const std::string& uri() const { return uri_; }

 private:
  bool script(const std::string& action, std::string& output);
  std::string dir_, uri_;
};
