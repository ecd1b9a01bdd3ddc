#include "fleet/libpq_api.h"

#include <mutex>

#include "platform/os.h"

namespace {

template <typename Function>
bool resolve(os_library library, const char* file_name, const char* name, Function& slot,
             std::string& error) {
  void* symbol = os_library_symbol(library, name);
  if (!symbol) {
    error = std::string("the PostgreSQL client library ") + file_name + " has no " + name +
            ": a libpq of PostgreSQL 10 or later is needed";
    return false;
  }
  slot = reinterpret_cast<Function>(symbol);
  return true;
}

bool resolve_all(os_library library, const char* file_name, libpq_api& table, std::string& error) {
#define RESOLVE(name) resolve(library, file_name, #name, table.name, error)
  return RESOLVE(PQlibVersion) && RESOLVE(PQconnectdbParams) && RESOLVE(PQstatus) &&
         RESOLVE(PQerrorMessage) && RESOLVE(PQfinish) && RESOLVE(PQsetNoticeProcessor) &&
         RESOLVE(PQtransactionStatus) && RESOLVE(PQexecParams) && RESOLVE(PQresultStatus) &&
         RESOLVE(PQresultErrorMessage) && RESOLVE(PQresultErrorField) && RESOLVE(PQntuples) &&
         RESOLVE(PQnfields) && RESOLVE(PQgetvalue) && RESOLVE(PQgetisnull) && RESOLVE(PQclear);
#undef RESOLVE
}

// A libpq.dll shipped beside the program is the one meant; the system's
// search comes after it. Elsewhere the system's own library is the one.
os_library open_library(const char* file_name, std::string& reason) {
#if defined(_WIN32)
  const std::string folder = os_program_folder();
  if (!folder.empty()) {
    const std::string beside = folder + file_name;
    if (os_library library = os_library_open(beside.c_str())) return library;
  }
#endif
  os_library library = os_library_open(file_name);
  if (!library) reason = os_library_error();
  return library;
}

std::string how_to_install(const char* file_name) {
#if defined(_WIN32)
  return std::string("put ") + file_name +
         " (and the DLLs it needs, from a PostgreSQL installation) beside tavren-update.exe or "
         "in a folder on PATH";
#else
  (void)file_name;
  return "install it (Debian and Ubuntu: apt-get install libpq5)";
#endif
}

}  // namespace

const char* libpq_file_name() {
#if defined(_WIN32)
  return "libpq.dll";
#else
  return "libpq.so.5";
#endif
}

bool libpq_api_try_load(const char* file_name, libpq_api& table, std::string& error) {
  std::string reason;
  // Loaded for good: the table's pointers are used until the process ends.
  const os_library library = open_library(file_name, reason);
  if (!library) {
    error = std::string("a PostgreSQL record needs the PostgreSQL client library ") + file_name +
            ", which could not be loaded";
    if (!reason.empty()) error += " (" + reason + ")";
    error += ": " + how_to_install(file_name);
    return false;
  }
  libpq_api resolved{};
  if (!resolve_all(library, file_name, resolved, error)) return false;
  table = resolved;
  return true;
}

const libpq_api* libpq_api_get(std::string& error) {
  static std::once_flag once;
  static libpq_api table{};
  static bool loaded = false;
  static std::string load_error;
  std::call_once(once, [] { loaded = libpq_api_try_load(libpq_file_name(), table, load_error); });
  if (!loaded) {
    error = load_error;
    return nullptr;
  }
  return &table;
}
