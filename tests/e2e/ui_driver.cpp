#include "tests/e2e/ui_driver.h"

#include <commctrl.h>

#include <cstring>
#include <vector>

namespace e2e {

namespace {

constexpr DWORD POLL_MS = 10;
constexpr int REMOTE_TEXT_SIZE = 512;

// A sent message that the program's thread does not answer within
// SEND_LIMIT_MS means the program hangs: its threads must never wait for
// anything without a bound.
LRESULT send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(window, message, wparam, lparam, SMTO_ABORTIFHUNG, SEND_LIMIT_MS,
                           &result)) {
    return 0;
  }
  return static_cast<LRESULT>(result);
}

// Memory inside the program's address space, for the list view messages
// whose parameters are pointers (the window manager copies only texts).
class remote_memory {
 public:
  remote_memory(HANDLE process, size_t size)
      : process_(process),
        address_(VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {
  }
  ~remote_memory() {
    if (address_ && !keep_) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
  }
  remote_memory(const remote_memory&) = delete;
  remote_memory& operator=(const remote_memory&) = delete;

  bool ok() const { return address_ != nullptr; }
  char* at(size_t offset) const { return static_cast<char*>(address_) + offset; }
  bool write(size_t offset, const void* bytes, size_t size) const {
    SIZE_T done = 0;
    return WriteProcessMemory(process_, at(offset), bytes, size, &done) && done == size;
  }
  bool read(size_t offset, void* bytes, size_t size) const {
    SIZE_T done = 0;
    return ReadProcessMemory(process_, at(offset), bytes, size, &done) && done == size;
  }
  // For posted messages: the program may read the memory after we return.
  void keep() { keep_ = true; }

 private:
  HANDLE process_;
  void* address_;
  bool keep_ = false;
};

struct window_search {
  DWORD pid;
  const char* title;
  HWND found;
};

BOOL CALLBACK match_window(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<window_search*>(context);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != search->pid || !IsWindowVisible(window)) return TRUE;
  // Another process's title is read from the window manager, with no
  // message to that process.
  char title[512] = {};
  GetWindowTextA(window, title, sizeof title);
  if (strcmp(title, search->title) != 0) return TRUE;
  search->found = window;
  return FALSE;
}

BOOL CALLBACK collect_static_text(HWND child, LPARAM context) {
  char class_name[64] = {};
  GetClassNameA(child, class_name, sizeof class_name);
  if (_stricmp(class_name, "Static") != 0) return TRUE;
  const std::string text = window_text(child);
  if (text.empty()) return TRUE;
  auto* joined = reinterpret_cast<std::string*>(context);
  if (!joined->empty()) joined->push_back('\n');
  *joined += text;
  return TRUE;
}

bool take_option(const char* argument, const char* name, std::string& value) {
  const size_t length = strlen(name);
  if (strncmp(argument, name, length) != 0) return false;
  value = argument + length;
  return true;
}

bool make_folder(const std::string& path) {
  for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
  return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::string without_carriage_returns(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r') out.push_back(c);
  }
  return out;
}

bool write_bmp(const std::string& path, int width, int height, const std::vector<char>& pixels) {
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
  bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
  bytes.append(pixels.data(), pixels.size());
  return write_file(path, bytes);
}

}  // namespace

driver_paths& paths() {
  static driver_paths* all = new driver_paths;
  return *all;
}

bool read_driver_paths(int argc, char** argv) {
  driver_paths& where = paths();
  for (int i = 1; i < argc; ++i) {
    take_option(argv[i], "--app=", where.app) || take_option(argv[i], "--warble=", where.warble) ||
        take_option(argv[i], "--sleeper=", where.sleeper) ||
        take_option(argv[i], "--runs=", where.runs);
  }
  return !where.app.empty() && !where.warble.empty() && !where.runs.empty();
}

std::string windows_path(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string out = "Z:";
  for (char c : path) out.push_back(c == '/' ? '\\' : c);
  return out;
}

bool wait_until(const std::function<bool()>& condition, DWORD limit_ms) {
  const ULONGLONG deadline = GetTickCount64() + limit_ms;
  while (!condition()) {
    if (GetTickCount64() >= deadline) return condition();
    Sleep(POLL_MS);
  }
  return true;
}

bool write_file(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileW(wide_of(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

std::string read_file(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

uint32_t image_crc(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
  }
  return crc;
}

child_process::~child_process() {
  kill();
  if (process_) CloseHandle(process_);
}

bool child_process::start(const std::string& exe, const std::string& directory,
                          const std::string& stdout_path) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE out = INVALID_HANDLE_VALUE;
  HANDLE err = INVALID_HANDLE_VALUE;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  if (!stdout_path.empty()) {
    out = CreateFileA(stdout_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    err = CreateFileA((stdout_path + ".stderr").c_str(), GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = err;
  }
  std::string command_line = "\"" + exe + "\"";
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessA(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, directory.c_str(), &startup, &info);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
  if (!started) return false;
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  pid_ = info.dwProcessId;
  return true;
}

bool child_process::running() const {
  return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

bool child_process::wait_exit(DWORD limit_ms, DWORD* exit_code) {
  if (!process_ || WaitForSingleObject(process_, limit_ms) != WAIT_OBJECT_0) return false;
  if (exit_code) GetExitCodeProcess(process_, exit_code);
  return true;
}

void child_process::kill() {
  if (running()) {
    TerminateProcess(process_, 99);
    WaitForSingleObject(process_, 5000);
  }
}

void app_run::prepare(const std::string& case_name, const std::string& scenario,
                      const std::string& exe_name) {
  folder_ = windows_path(paths().runs) + "\\" + case_name;
  exe_ = exe_name;
  make_folder(folder_);
  CopyFileA(windows_path(paths().app).c_str(), file(exe_).c_str(), FALSE);
  CopyFileA(windows_path(paths().warble).c_str(), file("warble.dll").c_str(), FALSE);
  DeleteFileA(file("record.txt").c_str());
  write_file(file("scenario.txt"), scenario);
}

void app_run::remove_library() {
  DeleteFileA(file("warble.dll").c_str());
}

std::string app_run::program() const {
  return file(exe_);
}

bool app_run::start() {
  SetEnvironmentVariableA("WARBLE_SIM_SCENARIO", file("scenario.txt").c_str());
  SetEnvironmentVariableA("WARBLE_SIM_RECORD", file("record.txt").c_str());
  // Each run keeps its logs in its own folder.
  SetEnvironmentVariableA("LOCALAPPDATA", folder_.c_str());
  return process_.start(file(exe_), folder_, file("stdout.txt"));
}

bool app_run::break_dialog_template(int id) {
  // A template whose one control is of a class nobody registered: creating
  // the dialog fails as it does when a template's control cannot be made.
  std::vector<WORD> words;
  const DWORD style = WS_POPUP | WS_CAPTION;
  words.push_back(LOWORD(style));
  words.push_back(HIWORD(style));
  // Extended style, one control, x, y, cx, cy, no menu, no class, no title.
  words.insert(words.end(), {0, 0, 1, 0, 0, 100, 50, 0, 0, 0});
  if (words.size() % 2) words.push_back(0);  // controls start on a DWORD boundary
  const DWORD control_style = WS_CHILD | WS_VISIBLE;
  words.push_back(LOWORD(control_style));
  words.push_back(HIWORD(control_style));
  words.insert(words.end(), {0, 0, 5, 5, 50, 20, 1000});
  for (char c : std::string("NoSuchClass")) words.push_back(static_cast<WORD>(c));
  words.insert(words.end(), {0, 0, 0});  // end of class, empty title, no creation data
  HANDLE update = BeginUpdateResourceA(file(exe_).c_str(), FALSE);
  if (!update) return false;
  const BOOL replaced =
      UpdateResourceA(update, MAKEINTRESOURCEA(5) /* RT_DIALOG */, MAKEINTRESOURCEA(id),
                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), words.data(),
                      static_cast<DWORD>(words.size() * sizeof(WORD)));
  return EndUpdateResourceA(update, !replaced) && replaced;
}

std::string app_run::file(const std::string& name) const {
  return folder_ + "\\" + name;
}

std::string app_run::output() const {
  return without_carriage_returns(read_file(file("stdout.txt")));
}

bool app_run::wait_output(const std::string& piece, DWORD limit_ms) const {
  return wait_until([&] { return output().find(piece) != std::string::npos; }, limit_ms);
}

size_t app_run::count_output(const std::string& piece) const {
  const std::string text = output();
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

std::map<std::string, std::string> app_run::record() const {
  std::map<std::string, std::string> values;
  const std::string text = without_carriage_returns(read_file(file("record.txt")));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t equals = line.find(" = ");
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 3);
    start = end + 1;
  }
  return values;
}

HWND app_run::find_window(const char* title) const {
  window_search search{process_.pid(), title, nullptr};
  EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND app_run::wait_window(const char* title, DWORD limit_ms) const {
  HWND found = nullptr;
  wait_until([&] { return (found = find_window(title)) != nullptr; }, limit_ms);
  return found;
}

bool app_run::wait_window_gone(const char* title, DWORD limit_ms) const {
  return wait_until([&] { return find_window(title) == nullptr; }, limit_ms);
}

std::string app_run::screenshot(HWND window, const std::string& name) const {
  // Let the program finish painting what it was just told to show. The
  // repaint is only asked for: painting it at once would make the driver
  // wait for the program's thread with no bound.
  send(window, WM_NULL, 0, 0);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
  send(window, WM_NULL, 0, 0);
  Sleep(300);
  RECT rect{};
  if (!GetWindowRect(window, &rect)) return {};
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return {};
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY | CAPTUREBLT);
  SelectObject(memory, previous);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  const int stride = ((width * 3) + 3) & ~3;
  std::vector<char> pixels(static_cast<size_t>(stride) * height);
  const int rows = GetDIBits(memory, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  const std::string path = file(name + ".bmp");
  if (rows != height || !write_bmp(path, width, height, pixels)) return {};
  return path;
}

std::string window_text(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, SEND_LIMIT_MS,
                           &length))
    return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, SEND_LIMIT_MS, &got))
    return {};
  text.resize(static_cast<size_t>(got));
  return utf8_of(text);
}

std::string control_text(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control ? window_text(control) : std::string();
}

bool control_enabled(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control && IsWindowEnabled(control);
}

bool control_exists(HWND dialog, int id) {
  return GetDlgItem(dialog, id) != nullptr;
}

int progress_position(HWND dialog, int id) {
  HWND bar = GetDlgItem(dialog, id);
  return bar ? static_cast<int>(send(bar, PBM_GETPOS, 0, 0)) : -1;
}

void post_command(HWND window, int id) {
  PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

void click_button(HWND dialog, int id) {
  if (HWND button = GetDlgItem(dialog, id)) PostMessageA(button, BM_CLICK, 0, 0);
}

bool set_control_text(HWND dialog, int id, const std::string& text) {
  HWND control = GetDlgItem(dialog, id);
  const std::wstring wide = wide_of(text);
  DWORD_PTR set = 0;
  return control &&
         SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()),
                             SMTO_ABORTIFHUNG, SEND_LIMIT_MS, &set) &&
         set;
}

std::wstring wide_of(const std::string& utf8) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 1), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), length);
  wide.resize(wide.size() - 1);
  return wide;
}

std::string utf8_of(const std::wstring& wide) {
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(length > 0 ? length : 1), '\0');
  if (length > 0)
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), length, nullptr, nullptr);
  utf8.resize(utf8.size() - 1);
  return utf8;
}

bool make_folder_named(const std::string& utf8_path) {
  return CreateDirectoryW(wide_of(utf8_path).c_str(), nullptr) ||
         GetLastError() == ERROR_ALREADY_EXISTS;
}

std::vector<std::string> files_in(const std::string& utf8_folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(wide_of(utf8_folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      names.push_back(utf8_of(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

int list_column_width(HWND list, int column) {
  return static_cast<int>(send(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
}

std::string menu_item_text(const std::string& exe, int menu_id, int command) {
  HMODULE module = LoadLibraryExW(wide_of(exe).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return {};
  wchar_t text[128] = {};
  HMENU menu = LoadMenuW(module, MAKEINTRESOURCEW(menu_id));
  if (menu) GetMenuStringW(menu, static_cast<UINT>(command), text, 128, MF_BYCOMMAND);
  if (menu) DestroyMenu(menu);
  FreeLibrary(module);
  return utf8_of(text);
}

std::vector<std::vector<std::string>> list_rows(HANDLE process, HWND list, int columns) {
  std::vector<std::vector<std::string>> rows;
  remote_memory memory(process, sizeof(LVITEMA) + REMOTE_TEXT_SIZE);
  if (!memory.ok()) return rows;
  const int count = static_cast<int>(send(list, LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < count; ++row) {
    std::vector<std::string> cells;
    for (int column = 0; column < columns; ++column) {
      LVITEMA item{};
      item.iSubItem = column;
      item.pszText = memory.at(sizeof(LVITEMA));
      item.cchTextMax = REMOTE_TEXT_SIZE;
      char text[REMOTE_TEXT_SIZE] = {};
      memory.write(0, &item, sizeof item);
      memory.write(sizeof(LVITEMA), text, 1);
      send(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row),
           reinterpret_cast<LPARAM>(memory.at(0)));
      memory.read(sizeof(LVITEMA), text, sizeof text);
      text[sizeof text - 1] = '\0';
      cells.emplace_back(text);
    }
    rows.push_back(cells);
  }
  return rows;
}

bool select_list_row(HANDLE process, HWND list, int row) {
  remote_memory memory(process, sizeof(LVITEMA));
  LVITEMA item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  if (!memory.ok() || !memory.write(0, &item, sizeof item)) return false;
  return send(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
              reinterpret_cast<LPARAM>(memory.at(0))) != 0;
}

bool set_list_item_text(HANDLE process, HWND list, int row, const std::string& text) {
  remote_memory memory(process, sizeof(LVITEMA) + text.size() + 1);
  LVITEMA item{};
  item.iSubItem = 0;
  item.pszText = memory.at(sizeof(LVITEMA));
  if (!memory.ok() || !memory.write(0, &item, sizeof item) ||
      !memory.write(sizeof(LVITEMA), text.c_str(), text.size() + 1)) {
    return false;
  }
  return send(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(row),
              reinterpret_cast<LPARAM>(memory.at(0))) != 0;
}

bool double_click_list(HANDLE process, HWND dialog, HWND list, int row) {
  remote_memory memory(process, sizeof(NMITEMACTIVATE));
  NMITEMACTIVATE notice{};
  notice.hdr.hwndFrom = list;
  notice.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(list));
  notice.hdr.code = NM_DBLCLK;
  notice.iItem = row;
  if (!memory.ok() || !memory.write(0, &notice, sizeof notice)) return false;
  memory.keep();
  return PostMessageA(dialog, WM_NOTIFY, notice.hdr.idFrom, reinterpret_cast<LPARAM>(memory.at(0)));
}

bool answers_within(HWND window, DWORD limit_ms, DWORD* reply_ms) {
  const ULONGLONG sent = GetTickCount64();
  DWORD_PTR length = 0;
  const bool answered =
      SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, limit_ms, &length) != 0;
  if (reply_ms) *reply_ms = static_cast<DWORD>(GetTickCount64() - sent);
  return answered;
}

std::string message_box_text(HWND box) {
  std::string joined;
  EnumChildWindows(box, collect_static_text, reinterpret_cast<LPARAM>(&joined));
  return joined;
}

void press_ok(HWND box) {
  click_button(box, IDOK);
}

void post_ok(HWND box) {
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

}  // namespace e2e
