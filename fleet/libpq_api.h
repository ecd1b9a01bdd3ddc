// PostgreSQL's client library as the record calls it: a table of the few
// functions it uses, resolved by name the first time a PostgreSQL record is
// asked for. Nothing is linked against libpq and none of its headers is
// included, so the program builds (the Windows cross-build too), runs and is
// packaged without it; only a station that keeps its record in PostgreSQL
// needs the library installed.
//
// The prototypes are our own, written from libpq's documented C interface,
// which has kept these signatures and values since long before PostgreSQL
// 10: opaque connection and result types, and the enum values as the ints
// they are passed as.
#pragma once

#include <string>

struct pg_conn;
struct pg_result;
using PGconn = pg_conn;
using PGresult = pg_result;
using pg_oid = unsigned int;

// ConnStatusType
constexpr int PG_CONNECTION_OK = 0;
// ExecStatusType
constexpr int PG_RES_COMMAND_OK = 1;
constexpr int PG_RES_TUPLES_OK = 2;
// PGTransactionStatusType
constexpr int PG_TRANS_IDLE = 0;
// The field code of an error's SQLSTATE (PG_DIAG_SQLSTATE).
constexpr int PG_DIAG_SQLSTATE_FIELD = 'C';

using pg_notice_processor = void (*)(void* arg, const char* message);

struct libpq_api {
  int (*PQlibVersion)();
  PGconn* (*PQconnectdbParams)(const char* const* keywords, const char* const* values,
                               int expand_dbname);
  int (*PQstatus)(const PGconn* connection);
  char* (*PQerrorMessage)(const PGconn* connection);
  void (*PQfinish)(PGconn* connection);
  pg_notice_processor (*PQsetNoticeProcessor)(PGconn* connection, pg_notice_processor processor,
                                              void* arg);
  int (*PQtransactionStatus)(const PGconn* connection);
  PGresult* (*PQexecParams)(PGconn* connection, const char* command, int count, const pg_oid* types,
                            const char* const* values, const int* lengths, const int* formats,
                            int result_format);
  int (*PQresultStatus)(const PGresult* result);
  char* (*PQresultErrorMessage)(const PGresult* result);
  char* (*PQresultErrorField)(const PGresult* result, int field);
  int (*PQntuples)(const PGresult* result);
  int (*PQnfields)(const PGresult* result);
  char* (*PQgetvalue)(const PGresult* result, int row, int column);
  int (*PQgetisnull)(const PGresult* result, int row, int column);
  void (*PQclear)(PGresult* result);
};

// The library's file name here: "libpq.dll" on Windows, "libpq.so.5"
// elsewhere (the run-time library's soname, present without the -dev
// package).
const char* libpq_file_name();

// Loads `file_name` and resolves every function of the table into `table`.
// False with a message for the person at the station when the library is
// not there or lacks a function; `table` is then left as it was.
bool libpq_api_try_load(const char* file_name, libpq_api& table, std::string& error);

// The process-wide table, loaded at the first call (by any thread) and kept
// until the process ends; null with the first call's message when it could
// not be loaded.
const libpq_api* libpq_api_get(std::string& error);
