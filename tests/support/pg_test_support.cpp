#include "tests/support/pg_test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>

namespace {

constexpr char URI_VARIABLE[] = "TAVREN_TEST_POSTGRES";
constexpr char REQUIRED_VARIABLE[] = "TAVREN_TEST_POSTGRES_REQUIRED";

std::string percent_encoded(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      char escaped[4];
      snprintf(escaped, sizeof escaped, "%%%02X", byte);
      out += escaped;
    }
  }
  return out;
}

std::string fresh_name(const char* head) {
  static std::atomic<unsigned> counter{0};
  static const unsigned long long salt = std::random_device{}();
  char name[96];
  snprintf(name, sizeof name, "%s_%ld_%u_%llx", head, static_cast<long>(getpid()), ++counter,
           salt & 0xFFFFFFull);
  return name;
}

}  // namespace

bool pg_test_server_uri(std::string& uri, std::string& why) {
  const char* value = getenv(URI_VARIABLE);
  if (!value || !*value) {
    why = std::string("no PostgreSQL server for the tests: ") + URI_VARIABLE +
          " is not set (scripts/test.sh starts one with scripts/pg_test_server.sh and sets it)";
    return false;
  }
  std::string error;
  if (!libpq_api_get(error)) {
    why = "PostgreSQL's client library cannot be loaded: " + error;
    return false;
  }
  uri = value;
  return true;
}

bool pg_test_server_required() {
  const char* value = getenv(REQUIRED_VARIABLE);
  return value && *value && std::string(value) != "0";
}

std::string pg_uri_with(const std::string& uri, const std::string& key, const std::string& value) {
  const char joint = uri.find('?') == std::string::npos ? '?' : '&';
  return uri + joint + key + "=" + percent_encoded(value);
}

pg_sql::~pg_sql() {
  if (connection_) pq_->PQfinish(connection_);
}

bool pg_sql::connect(const std::string& uri, std::string& error) {
  pq_ = libpq_api_get(error);
  if (!pq_) return false;
  const char* keys[] = {"dbname", "connect_timeout", nullptr};
  const char* values[] = {uri.c_str(), "10", nullptr};
  connection_ = pq_->PQconnectdbParams(keys, values, 1);
  if (!connection_ || pq_->PQstatus(connection_) != PG_CONNECTION_OK) {
    error = connection_ ? pq_->PQerrorMessage(connection_) : "out of memory";
    return false;
  }
  pq_->PQsetNoticeProcessor(
      connection_, [](void*, const char*) {}, nullptr);
  return true;
}

bool pg_sql::run(const std::string& statement, const std::vector<std::string>& params,
                 std::vector<std::vector<std::string>>& rows, std::string& error) {
  if (!connection_) {
    error = "not connected";
    return false;
  }
  std::vector<const char*> values;
  for (const std::string& each : params) values.push_back(each.c_str());
  PGresult* result =
      pq_->PQexecParams(connection_, statement.c_str(), static_cast<int>(values.size()), nullptr,
                        values.data(), nullptr, nullptr, 0);
  const int status = result ? pq_->PQresultStatus(result) : -1;
  const bool ok = status == PG_RES_COMMAND_OK || status == PG_RES_TUPLES_OK;
  rows.clear();
  if (ok) {
    for (int row = 0; row < pq_->PQntuples(result); ++row) {
      std::vector<std::string> fields;
      for (int column = 0; column < pq_->PQnfields(result); ++column)
        fields.push_back(pq_->PQgetvalue(result, row, column));
      rows.push_back(std::move(fields));
    }
  } else {
    error = result ? pq_->PQresultErrorMessage(result) : pq_->PQerrorMessage(connection_);
  }
  if (result) pq_->PQclear(result);
  return ok;
}

bool pg_sql::run(const std::string& statement, std::string& error) {
  std::vector<std::vector<std::string>> rows;
  return run(statement, {}, rows, error);
}

pg_test_record::~pg_test_record() {
  if (schema_.empty()) return;
  std::string ignored;
  sql_.run("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE", ignored);
}

bool pg_test_record::make(const std::string& server_uri, std::string& error) {
  if (!sql_.connect(server_uri, error)) return false;
  const std::string schema = fresh_name("record");
  if (!sql_.run("CREATE SCHEMA " + schema, error)) return false;
  schema_ = schema;
  uri_ = pg_uri_with(server_uri, "options", "-c search_path=" + schema);
  return true;
}

pg_private_server::~pg_private_server() {
  if (dir_.empty()) return;
  std::string ignored;
  script("down", ignored);
}

bool pg_private_server::script(const std::string& action, std::string& output) {
  const std::string command =
      std::string("'") + TAVREN_PG_TEST_SERVER_SCRIPT + "' " + action + " '" + dir_ + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    output = "cannot run " + command;
    return false;
  }
  output.clear();
  char buffer[512];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  const int status = pclose(pipe);
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return status == 0;
}

bool pg_private_server::up(std::string& why) {
  std::string error;
  if (!libpq_api_get(error)) {
    why = "PostgreSQL's client library cannot be loaded: " + error;
    return false;
  }
  char pattern[] = "/tmp/tavren-pg-test.XXXXXX";
  if (!mkdtemp(pattern)) {
    why = "cannot make a folder for a PostgreSQL server";
    return false;
  }
  dir_ = pattern;
  std::string output;
  if (!script("up", output)) {
    why = "no PostgreSQL server of the test's own: " + output;
    return false;
  }
  // The URI is the script's last line.
  const size_t line = output.find_last_of('\n');
  uri_ = line == std::string::npos ? output : output.substr(line + 1);
  return true;
}

bool pg_private_server::stop(std::string& why) {
  return script("stop", why);
}

bool pg_private_server::start(std::string& why) {
  return script("start", why);
}
