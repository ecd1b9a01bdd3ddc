#include "app/log_folder.h"

#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include "app/text_utf8.h"
#include "platform/run_log.h"

namespace {

constexpr const char* PRODUCT_FOLDER = "TAVREN Firmware Update";
constexpr const char* LOG_PREFIX = "TavrenUpdate";

// The environment first, so that a run (a test, a portable setup) can send
// its logs elsewhere; then the shell's known folder.
std::wstring local_app_data() {
  wchar_t value[MAX_PATH * 2];
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", value, MAX_PATH * 2);
  if (length > 0 && length < MAX_PATH * 2) return value;
  PWSTR known = nullptr;
  std::wstring folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known))) folder = known;
  CoTaskMemFree(known);
  return folder;
}

}  // namespace

std::string log_folder() {
  const std::wstring base = local_app_data();
  if (base.empty()) return {};
  return utf8_of(base) + "\\" + PRODUCT_FOLDER + "\\logs";
}

void start_logging() {
  const std::string folder = log_folder();
  if (!folder.empty()) start_run_log(folder, LOG_PREFIX);
}

bool open_log_folder() {
  const std::string folder = log_folder();
  if (folder.empty()) return false;
  const std::wstring wide = wide_of(folder);
  SHCreateDirectoryExW(nullptr, wide.c_str(), nullptr);
  const HINSTANCE opened =
      ShellExecuteW(nullptr, L"explore", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(opened) > 32;
}
