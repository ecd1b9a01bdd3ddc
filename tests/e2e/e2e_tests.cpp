// The real TavrenUpdate.exe under Wine, driven through its windows against
// the simulated device: what a user sees, what the program prints, how it
// ends, and what the device received.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/resource.h"
#include "tests/e2e/ui_driver.h"

using namespace e2e;

namespace {

constexpr const char* OUR_MAC = "C4:7C:8D:6A:3E:01";
constexpr const char* OTHER_MAC = "5A:10:22:33:44:55";

// Waits sized for a loaded machine: a scan result or a window appears
// within a second normally.
constexpr DWORD WINDOW_LIMIT_MS = 15000;
constexpr DWORD STEP_LIMIT_MS = 10000;
constexpr DWORD UPDATE_LIMIT_MS = 60000;
// A thread of the program that waits in its message loop answers a sent
// message within milliseconds; this bound leaves room for a loaded machine.
constexpr DWORD ANSWER_LIMIT_MS = 2000;
// A thread that is busy showing a flood of scan results answers between two
// batches of rows: each takes a fraction of a second of processor time,
// which a loaded machine stretches several times over. A dialog that stops
// answering while the flood lasts keeps a read waiting for all of it.
constexpr DWORD FLOOD_ANSWER_LIMIT_MS = 10000;

// Our device and a stranger. Reads complete late, as over a real link, so
// that the connection outlasts the opening of its progress dialog.
std::string world(const std::string& our_device_extra = "") {
  return "advertise_interval_ms = 50\n"
         "[device]\n"
         "mac = C4:7C:8D:6A:3E:01\n"
         "name = TAVREN RD\n"
         "rssi = -67\n"
         "firmware_revision = 1.05\n"
         "manufacturer = TAVREN\n"
         "model_number = RD-1\n"
         "serial_number = SN0001\n"
         "late_completion_ms = 150\n" +
         our_device_extra +
         "[device]\n"
         "mac = 5A:10:22:33:44:55\n"
         "name = Kitchen Speaker\n"
         "rssi = -81\n"
         "proprietary = no\n";
}

const std::string OUR_DEVICE_INFO =
    "MAC: C4:7C:8D:6A:3E:01\nFwVer: 1.05\nManuf.: TAVREN  Model: RD-1\nSerNum: SN0001\n";

void note_screenshot(const std::string& path) {
  if (!path.empty()) printf("screenshot: %s\n", path.c_str());
}

bool wait_control_text(HWND window, int id, const std::string& text) {
  return wait_until([&] { return control_text(window, id) == text; }, STEP_LIMIT_MS);
}

void expect_exit_status(app_run& run, DWORD expected) {
  DWORD status = 99;
  ASSERT_TRUE(run.process().wait_exit(STEP_LIMIT_MS, &status));
  EXPECT_EQ(status, expected);
}

// Waits for the box and checks its text; null (a failure) when it never came.
HWND expect_box(const app_run& run, const char* caption, const std::string& text) {
  HWND box = run.wait_window(caption, STEP_LIMIT_MS);
  if (!box) {
    ADD_FAILURE() << "no \"" << caption << "\" box; output:\n" << run.output();
    return nullptr;
  }
  std::string seen;
  wait_until([&] { return !(seen = message_box_text(box)).empty(); }, STEP_LIMIT_MS);
  EXPECT_EQ(seen, text);
  return box;
}

enum class closing { click, posted_ok };

void close_box(HWND box, closing how = closing::click) {
  how == closing::click ? press_ok(box) : post_ok(box);
  EXPECT_TRUE(wait_until([&] { return !IsWindow(box); }, STEP_LIMIT_MS));
}

// Reads `window` the way a reader of the screen does, counting the reads
// that were not answered in time and the slowest answer.
struct read_watch {
  int reads = 0, unanswered = 0;
  DWORD slowest_ms = 0;
  void read(HWND window) {
    DWORD reply_ms = 0;
    ++reads;
    if (!answers_within(window, ANSWER_LIMIT_MS, &reply_ms)) ++unanswered;
    slowest_ms = std::max(slowest_ms, reply_ms);
  }
};

void expect_box_and_close(const app_run& run, const char* caption, const std::string& text) {
  if (HWND box = expect_box(run, caption, text)) close_box(box);
}

void expect_connected_state(HWND main, bool connected) {
  for (int id : {IDC_DEVICE_INFO, IDC_UPDATE, IDC_IMAGE_PATH, IDC_SELECT_FILE}) {
    EXPECT_EQ(control_enabled(main, id), connected) << "control " << id;
  }
}

int row_of(const std::vector<std::vector<std::string>>& rows, const std::string& mac) {
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].empty() && rows[i][0] == mac) return static_cast<int>(i);
  }
  return -1;
}

// Opens the selection dialog and starts a scan; null when it did not open.
HWND open_selection_and_scan(app_run& run, HWND main) {
  post_command(main, IDM_CONNECT);
  HWND dialog = run.wait_window(SELECT_TITLE, WINDOW_LIMIT_MS);
  if (dialog) click_button(dialog, IDC_SCAN);
  return dialog;
}

// Opens the selection dialog and scans until both devices are listed.
HWND scan_for_both(app_run& run, HWND main, std::vector<std::vector<std::string>>& rows) {
  HWND dialog = open_selection_and_scan(run, main);
  if (!dialog) return nullptr;
  HWND list = GetDlgItem(dialog, IDC_DEVICE_LIST);
  wait_until(
      [&] {
        rows = list_rows(run.process().handle(), list, 3);
        return row_of(rows, OUR_MAC) >= 0 && row_of(rows, OTHER_MAC) >= 0;
      },
      STEP_LIMIT_MS);
  return dialog;
}

// Escape in the selection dialog: it closes without a device.
bool cancel_selection(const app_run& run, HWND dialog) {
  PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  return run.wait_window_gone(SELECT_TITLE, STEP_LIMIT_MS);
}

enum class choice { connect_button, double_click };

// Scan, choose our device, wait for the progress dialog to close itself.
void connect_to_our_device(app_run& run, HWND main, choice how, bool screenshots = false) {
  std::vector<std::vector<std::string>> rows;
  HWND dialog = scan_for_both(run, main, rows);
  ASSERT_NE(dialog, nullptr);
  const int row = row_of(rows, OUR_MAC);
  ASSERT_GE(row, 0) << run.output();
  if (screenshots) note_screenshot(run.screenshot(dialog, "select_device"));
  HWND list = GetDlgItem(dialog, IDC_DEVICE_LIST);
  ASSERT_TRUE(select_list_row(run.process().handle(), list, row));
  if (how == choice::connect_button) {
    click_button(dialog, IDC_CONNECT);
  } else {
    ASSERT_TRUE(double_click_list(run.process().handle(), dialog, list, row));
  }
  ASSERT_TRUE(run.wait_window_gone(SELECT_TITLE, STEP_LIMIT_MS));
  HWND progress = run.wait_window(PROGRESS_TITLE, STEP_LIMIT_MS);
  ASSERT_NE(progress, nullptr) << run.output();
  if (screenshots) {
    wait_until([&] { return progress_position(progress, IDC_CONNECT_PROGRESS) > 0; },
               STEP_LIMIT_MS);
    note_screenshot(run.screenshot(progress, "connect_progress"));
  }
  ASSERT_TRUE(run.wait_window_gone(PROGRESS_TITLE, STEP_LIMIT_MS))
      << "the progress dialog did not close itself; output:\n"
      << run.output();
  ASSERT_TRUE(wait_until([&] { return control_enabled(main, IDC_UPDATE); }, STEP_LIMIT_MS));
}

// Puts the path into the field and presses Update.
bool start_update(HWND main, const std::string& path) {
  if (!set_control_text(main, IDC_IMAGE_PATH, path)) return false;
  click_button(main, IDC_UPDATE);
  return true;
}

std::string image_bytes(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 0x12345678u;
  for (char& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::string hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// The file name field of the common file dialog: a combo box with an edit
// (cmb13) in the explorer style, a plain edit (edt1) in older ones.
HWND file_name_field(HWND chooser) {
  constexpr int FILE_NAME_COMBO = 0x047c;
  constexpr int FILE_NAME_EDIT = 0x0480;
  if (HWND combo = GetDlgItem(chooser, FILE_NAME_COMBO)) return combo;
  return GetDlgItem(chooser, FILE_NAME_EDIT);
}

// A case with a run of the program of its own.
class program_case : public ::testing::Test {
 protected:
  // Starts the run (prepared by the case) and waits for its main window.
  void launch() {
    ASSERT_TRUE(run.start());
    main = run.wait_window(MAIN_TITLE, WINDOW_LIMIT_MS);
    ASSERT_NE(main, nullptr) << run.output();
  }
  void launch(const std::string& case_name, const std::string& scenario = world()) {
    run.prepare(case_name, scenario);
    launch();
  }

  // Start-up that cannot go on: the box, then the end with status 1 before
  // any main window.
  void expect_start_up_failure(const char* caption, const std::string& text) {
    ASSERT_TRUE(run.start());
    expect_box_and_close(run, caption, text);
    ASSERT_NO_FATAL_FAILURE(expect_exit_status(run, 1u));
    EXPECT_EQ(run.find_window(MAIN_TITLE), nullptr);
  }

  // A run whose device is connected and sent `image` from image.bin.
  void connect_and_update(const std::string& case_name, const std::string& scenario,
                          const std::string& image) {
    run.prepare(case_name, scenario);
    ASSERT_TRUE(write_file(run.file("image.bin"), image));
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_NO_FATAL_FAILURE(connect_to_our_device(run, main, choice::connect_button));
    ASSERT_TRUE(start_update(main, run.file("image.bin")));
  }

  void close_with_close_box() {
    // A box owned by the main window disables it until the box has gone; its
    // close box does nothing meanwhile, for a user as for us.
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(main) != FALSE; }, STEP_LIMIT_MS));
    PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    expect_exit_status(run, 0u);
  }

  app_run run;
  HWND main = nullptr;
};

// The suites, as CTest runs them one by one.
class StartAndEnd : public program_case {};
class MainWindow : public program_case {};
class DeviceSelection : public program_case {};
class FirmwareUpdate : public program_case {};

}  // namespace

TEST_F(StartAndEnd, StartsNotConnectedAndTheCloseBoxEndsWithStatusZero) {
  ASSERT_NO_FATAL_FAILURE(launch("start_state"));

  EXPECT_EQ(control_text(main, IDC_DEVICE_INFO), "Device not connected");
  expect_connected_state(main, false);
  EXPECT_NE(GetMenu(main), nullptr);
  EXPECT_EQ(progress_position(main, IDC_UPDATE_PROGRESS), 0);
  EXPECT_TRUE(wait_control_text(main, IDC_STATUS_LINE, "Idle"));
  const std::string output = run.output();
  EXPECT_EQ(output.rfind("Killing all previous BLE consoles\n", 0), 0u) << output;
  EXPECT_NE(output.find("Current execution directory: " +
                        run.file("").substr(0, run.file("").size() - 1) + "\n"),
            std::string::npos)
      << output;
  note_screenshot(run.screenshot(main, "main_not_connected"));

  close_with_close_box();
}

TEST_F(StartAndEnd, EscapeEndsWithStatusZero) {
  ASSERT_NO_FATAL_FAILURE(launch("escape"));
  PostMessageA(main, WM_KEYDOWN, VK_ESCAPE, 0);
  expect_exit_status(run, 0u);
}

TEST_F(StartAndEnd, AMainWindowThatCannotBeCreatedEndsWithABoxAndStatusOne) {
  run.prepare("no_main_window", world());
  ASSERT_TRUE(run.break_dialog_template(IDD_MAIN));
  expect_start_up_failure("Error", "The main window cannot be created");
}

TEST_F(StartAndEnd, WithoutTheLibraryStartUpEndsWithABoxAndStatusOne) {
  run.prepare("no_library", world());
  run.remove_library();
  expect_start_up_failure("ERROR", "Bluetooth DLL library not found (warble.dll)");
}

TEST_F(StartAndEnd, FileExitEndsAtOnceWithStatusOne) {
  ASSERT_NO_FATAL_FAILURE(launch("file_exit"));
  post_command(main, IDM_EXIT);
  expect_exit_status(run, 1u);
}

TEST_F(StartAndEnd, EndsProcessesNamedExactlyRadioDeskWithCodeNine) {
  run.prepare("siblings", world());
  const std::string sleeper = windows_path(paths().sleeper);
  struct sibling {
    std::string folder, name;
    child_process process;
  };
  sibling siblings[3] = {{run.file("a"), "RadioDesk.exe", {}},
                         {run.file("b"), "RadioDesk.exe", {}},
                         {run.file("c"), "radiodesk.exe", {}}};
  for (sibling& s : siblings) {
    CreateDirectoryA(s.folder.c_str(), nullptr);
    const std::string exe = s.folder + "\\" + s.name;
    ASSERT_TRUE(CopyFileA(sleeper.c_str(), exe.c_str(), FALSE));
    ASSERT_TRUE(s.process.start(exe, s.folder, ""));
  }
  ASSERT_NO_FATAL_FAILURE(launch());
  for (int i = 0; i < 2; ++i) {
    DWORD code = 0;
    ASSERT_TRUE(siblings[i].process.wait_exit(STEP_LIMIT_MS, &code)) << siblings[i].folder;
    EXPECT_EQ(code, 9u);
  }
  EXPECT_TRUE(siblings[2].process.running()) << "a name that differs in letter case was ended";
}

TEST_F(StartAndEnd, ACopyNamedRadioDeskDoesNotEndItself) {
  run.prepare("renamed_copy", world(), "RadioDesk.exe");
  ASSERT_NO_FATAL_FAILURE(launch());
  close_with_close_box();
}

TEST_F(MainWindow, DisconnectWhileNotConnectedWarnsThenStillPostsTheRequest) {
  ASSERT_NO_FATAL_FAILURE(launch("disconnect_not_connected"));
  post_command(main, IDM_DISCONNECT);
  HWND box = expect_box(run, "Error", "Not connected to any device");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(run.output().find(">>Closing device"), std::string::npos)
      << "posted before the user closed the warning";
  press_ok(box);
  EXPECT_TRUE(wait_control_text(main, IDC_STATUS_LINE, "Disconnecting BT..."));
  EXPECT_TRUE(run.wait_output(">>Closing device\n>>DEVICE CLOSED !!\n", STEP_LIMIT_MS))
      << run.output();
  EXPECT_EQ(control_text(main, IDC_DEVICE_INFO), "Device not connected");
  expect_connected_state(main, false);
  close_with_close_box();
}

// The warning closed by a posted OK, and from then on no input at all: the
// request posted behind the warning runs to its end by itself.
TEST_F(MainWindow, AfterAWarningClosedByAPostedOkTheDisconnectEndsWithNoFurtherInput) {
  ASSERT_NO_FATAL_FAILURE(launch("disconnect_posted_ok"));
  post_command(main, IDM_DISCONNECT);
  HWND box = expect_box(run, "Error", "Not connected to any device");
  ASSERT_NE(box, nullptr);
  post_ok(box);
  // Only the program's output file is read from here on.
  EXPECT_TRUE(run.wait_output(">>Closing device\n>>DEVICE CLOSED !!\n", STEP_LIMIT_MS))
      << run.output();
  EXPECT_FALSE(IsWindow(box));
  close_with_close_box();
}

TEST_F(MainWindow, HelpAboutShowsTheVersionAndClosesWithOk) {
  ASSERT_NO_FATAL_FAILURE(launch("about_box"));
  post_command(main, IDM_ABOUT);
  HWND about = run.wait_window("About...", STEP_LIMIT_MS);
  ASSERT_NE(about, nullptr);
  EXPECT_NE(message_box_text(about).find(" - V1.03"), std::string::npos) << message_box_text(about);
  note_screenshot(run.screenshot(about, "about"));
  click_button(about, IDOK);
  EXPECT_TRUE(run.wait_window_gone("About...", STEP_LIMIT_MS));
  close_with_close_box();
}

TEST_F(MainWindow, TheFileChooserAddsTheDefaultExtensionAndCancelKeepsThePath) {
  ASSERT_NO_FATAL_FAILURE(launch("file_chooser"));
  ASSERT_NO_FATAL_FAILURE(connect_to_our_device(run, main, choice::connect_button));

  click_button(main, IDC_SELECT_FILE);
  HWND chooser = run.wait_window("Save As", STEP_LIMIT_MS);
  ASSERT_NE(chooser, nullptr);
  HWND name_field = file_name_field(chooser);
  ASSERT_NE(name_field, nullptr);
  ASSERT_TRUE(set_control_text(chooser, GetDlgCtrlID(name_field), "new_firmware"));
  click_button(chooser, IDOK);
  ASSERT_TRUE(run.wait_window_gone("Save As", STEP_LIMIT_MS));
  const std::string chosen = control_text(main, IDC_IMAGE_PATH);
  EXPECT_EQ(chosen, run.file("new_firmware.bin")) << "a name without extension gets .bin";

  click_button(main, IDC_SELECT_FILE);
  chooser = run.wait_window("Save As", STEP_LIMIT_MS);
  ASSERT_NE(chooser, nullptr);
  click_button(chooser, IDCANCEL);
  ASSERT_TRUE(run.wait_window_gone("Save As", STEP_LIMIT_MS));
  EXPECT_EQ(control_text(main, IDC_IMAGE_PATH), chosen);
  close_with_close_box();
}

TEST_F(DeviceSelection, ScanListsRowsAndChoosingOneConnects) {
  ASSERT_NO_FATAL_FAILURE(launch("scan_and_connect"));
  std::vector<std::vector<std::string>> rows;
  HWND dialog = scan_for_both(run, main, rows);
  ASSERT_NE(dialog, nullptr);
  const int ours = row_of(rows, OUR_MAC);
  const int other = row_of(rows, OTHER_MAC);
  ASSERT_GE(ours, 0);
  ASSERT_GE(other, 0);
  EXPECT_EQ(rows[ours], (std::vector<std::string>{OUR_MAC, "TAVREN RD", "-67 dBm"}));
  EXPECT_EQ(rows[other], (std::vector<std::string>{OTHER_MAC, "Kitchen Speaker", "-81 dBm"}));
  EXPECT_EQ(rows.size(), 2u) << "a device seen again must keep its one row";
  EXPECT_TRUE(run.wait_output("mac: C4:7C:8D:6A:3E:01 - name \"TAVREN RD\" - RSSI: -67 dBm\n",
                              STEP_LIMIT_MS));
  // Connect with no row selected stops the scan and keeps the dialog open.
  click_button(dialog, IDC_CONNECT);
  EXPECT_TRUE(run.wait_output("Abort requested\n", STEP_LIMIT_MS)) << run.output();
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_EQ(run.find_window(PROGRESS_TITLE), nullptr);
  // Escape leaves it without a device; connect_to_our_device opens it anew.
  ASSERT_TRUE(cancel_selection(run, dialog));
  EXPECT_EQ(run.find_window(PROGRESS_TITLE), nullptr);

  ASSERT_NO_FATAL_FAILURE(connect_to_our_device(run, main, choice::connect_button, true));
  EXPECT_EQ(control_text(main, IDC_DEVICE_INFO), OUR_DEVICE_INFO);
  expect_connected_state(main, true);
  const std::string output = run.output();
  EXPECT_NE(output.find("Connecting to C4:7C:8D:6A:3E:01\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Propietary service found\n"), std::string::npos) << output;
  EXPECT_NE(output.find("System READY\n"), std::string::npos) << output;
  // The picture of a connected device, once the worker is idle again.
  wait_control_text(main, IDC_STATUS_LINE, "Idle");
  note_screenshot(run.screenshot(main, "main_connected"));

  // Disconnect while connected: no warning, and the worker puts the window
  // back to Not connected itself.
  post_command(main, IDM_DISCONNECT);
  EXPECT_TRUE(wait_control_text(main, IDC_DEVICE_INFO, "Device not connected"));
  expect_connected_state(main, false);
  EXPECT_TRUE(run.wait_output(">>DEVICE CLOSED !!\n", STEP_LIMIT_MS));
  EXPECT_EQ(run.find_window("Error"), nullptr);
  close_with_close_box();
}

TEST_F(DeviceSelection, AFloodOfDevicesFillsTheListToItsLimitWhileTheWindowsStayResponsive) {
  ASSERT_NO_FATAL_FAILURE(launch("scan_flood", "flood = 1200\n" + world()));
  HWND dialog = open_selection_and_scan(run, main);
  ASSERT_NE(dialog, nullptr);
  HWND list = GetDlgItem(dialog, IDC_DEVICE_LIST);
  DWORD slowest_reply_ms = 0;
  auto row_count = [&] {
    const ULONGLONG sent = GetTickCount64();
    DWORD_PTR count = 0;
    SendMessageTimeoutA(list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, 30000, &count);
    slowest_reply_ms = std::max(slowest_reply_ms, static_cast<DWORD>(GetTickCount64() - sent));
    return static_cast<int>(count);
  };
  EXPECT_TRUE(wait_until([&] { return row_count() >= 1000; }, 30000)) << row_count();
  EXPECT_EQ(row_count(), 1000) << "the list holds at most 1000 devices";
  // Results keep arriving for listed devices; the dialog still answers.
  printf("slowest answer during the flood: %lu ms\n", static_cast<unsigned long>(slowest_reply_ms));
  EXPECT_LT(slowest_reply_ms, FLOOD_ANSWER_LIMIT_MS);
  ASSERT_TRUE(cancel_selection(run, dialog));
  EXPECT_TRUE(run.wait_output("Abort requested\n", STEP_LIMIT_MS));
  close_with_close_box();
}

TEST_F(DeviceSelection, AnAddressThatDoesNotFitIsRefusedAndTheDialogStaysOpen) {
  ASSERT_NO_FATAL_FAILURE(launch("address_too_long"));
  std::vector<std::vector<std::string>> rows;
  HWND dialog = scan_for_both(run, main, rows);
  ASSERT_NE(dialog, nullptr);
  HWND list = GetDlgItem(dialog, IDC_DEVICE_LIST);
  const int row = row_of(rows, OUR_MAC);
  ASSERT_GE(row, 0);
  const std::string long_address(80, 'A');  // one more than the 79 that fit
  ASSERT_TRUE(set_list_item_text(run.process().handle(), list, row, long_address));
  ASSERT_TRUE(select_list_row(run.process().handle(), list, row));
  click_button(dialog, IDC_CONNECT);
  expect_box_and_close(run, "Error", "Device address too long");
  EXPECT_TRUE(IsWindowVisible(dialog)) << "the selection dialog must stay open";
  EXPECT_EQ(run.find_window(PROGRESS_TITLE), nullptr);
  EXPECT_EQ(run.output().find("Connecting to"), std::string::npos) << run.output();
  ASSERT_TRUE(cancel_selection(run, dialog));
  expect_connected_state(main, false);
  close_with_close_box();
}

TEST_F(FirmwareUpdate, SendsTheImageWholeAndShowsTheSuccessBox) {
  run.prepare("update_success", world());
  const std::string image = image_bytes(5000);
  ASSERT_TRUE(write_file(run.file("image.bin"), image));
  ASSERT_NO_FATAL_FAILURE(launch());
  ASSERT_NO_FATAL_FAILURE(connect_to_our_device(run, main, choice::double_click));
  ASSERT_TRUE(start_update(main, run.file("image.bin")));

  HWND box = expect_box(run, "Success",
                        "Updated finished OK!!\n(Now WAIT till the device finishes the update)");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(progress_position(main, IDC_UPDATE_PROGRESS), 1000);
  EXPECT_FALSE(IsWindowEnabled(main)) << "the success box is owned by the main window";
  note_screenshot(run.screenshot(main, "main_after_update"));
  close_box(box);

  const std::string output = run.output();
  EXPECT_NE(output.find("Firmware Update from local file\n"), std::string::npos);
  EXPECT_NE(output.find("[RCS] Sending update command 0xB1 Pars 2 - B1 00 02 00 00 \n"),
            std::string::npos)
      << output;
  ASSERT_TRUE(wait_until([&] { return run.record()["accepted"] == "1"; }, STEP_LIMIT_MS))
      << read_file(run.file("record.txt"));
  auto record = run.record();
  EXPECT_EQ(record["image_size"], std::to_string(image.size()));
  EXPECT_EQ(record["announced_length"], std::to_string(image.size()));
  EXPECT_TRUE(read_file(run.file("record.txt.image")) == image)
      << "the image the device received differs from the file";
  EXPECT_EQ(record["image_crc"], hex(image_crc(image)));
  EXPECT_EQ(record["received_crc"], hex(image_crc(image)));
  EXPECT_EQ(record["packets"], "21");
  EXPECT_EQ(record["verdict"], "accepted");
  close_with_close_box();
}

TEST_F(FirmwareUpdate, AMissingFileAndAPathTooLongAreRefusedBeforeAnythingIsSent) {
  ASSERT_NO_FATAL_FAILURE(launch("update_bad_paths"));
  ASSERT_NO_FATAL_FAILURE(connect_to_our_device(run, main, choice::connect_button));

  ASSERT_TRUE(start_update(main, run.file("no_such_image.bin")));
  expect_box_and_close(run, "Error", "File not found");

  // 600 characters: longer than the 511 that fit; a cut path would name
  // some other file.
  std::string long_path = run.file("");
  long_path += std::string(600 - long_path.size() - 4, 'x') + ".bin";
  ASSERT_EQ(long_path.size(), 600u);
  ASSERT_TRUE(set_control_text(main, IDC_IMAGE_PATH, long_path));
  ASSERT_EQ(control_text(main, IDC_IMAGE_PATH).size(), 600u);
  click_button(main, IDC_UPDATE);
  expect_box_and_close(run, "Error", "Path too long");

  EXPECT_EQ(run.count_output("Firmware Update from local file\n"), 2u);
  EXPECT_EQ(run.output().find("[RCS] Sending update command"), std::string::npos) << run.output();
  close_with_close_box();
}

TEST_F(FirmwareUpdate, ARefusedFrameEndsInTheErrorBoxAndNothingMoreIsSent) {
  ASSERT_NO_FATAL_FAILURE(
      connect_and_update("update_refused", world("refuse_frame = 5\n"), image_bytes(2000)));

  HWND box = expect_box(run, "Error", "Update from local file error");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(control_text(main, IDC_STATUS_LINE), "Packet ERROR\n");
  EXPECT_LT(progress_position(main, IDC_UPDATE_PROGRESS), 1000);
  press_ok(box);
  EXPECT_EQ(run.find_window("Success"), nullptr);

  auto record = run.record();
  EXPECT_NE(record["accepted"], "1");
  EXPECT_EQ(record["frames"], "5") << read_file(run.file("record.txt"));
  EXPECT_EQ(record["frames_after_failure"], "0");
  close_with_close_box();
}

// What a screen reader or a test does all along: read the windows while the
// worker writes to them, during an update and while its error box waits.
// Every thread of the program answers each read within the bound.
TEST_F(FirmwareUpdate, WindowsAnswerReadsDuringAnUpdateAndWhileItsErrorBoxWaits) {
  ASSERT_NO_FATAL_FAILURE(
      connect_and_update("update_reads", world("refuse_frame = 15\n"), image_bytes(4000)));

  read_watch watch;
  HWND status = GetDlgItem(main, IDC_STATUS_LINE);
  HWND box = nullptr;
  ASSERT_TRUE(wait_until(
      [&] {
        watch.read(status);
        watch.read(GetDlgItem(main, IDC_UPDATE_PROGRESS));
        return (box = run.find_window("Error")) != nullptr;
      },
      UPDATE_LIMIT_MS))
      << run.output();
  EXPECT_GT(watch.reads, 2);
  for (int i = 0; i < 20; ++i) {
    watch.read(box);
    EXPECT_EQ(message_box_text(box), "Update from local file error");
    watch.read(status);
  }
  close_box(box, closing::posted_ok);
  EXPECT_EQ(watch.unanswered, 0) << "of " << watch.reads << " reads";
  EXPECT_LT(watch.slowest_ms, ANSWER_LIMIT_MS);
  close_with_close_box();
}

// The device goes out of range during the close's first disable: no call
// on a handle of the dead link (the stand-in counts them), the window ends
// Not connected, the program goes on and ends normally.
TEST_F(MainWindow, ALinkLostWhileClosingEndsNotConnectedAndTouchesNoDeadHandle) {
  ASSERT_NO_FATAL_FAILURE(launch("link_lost_closing", world("drop_link_at = disable:1\n")));
  ASSERT_NO_FATAL_FAILURE(connect_to_our_device(run, main, choice::connect_button));
  post_command(main, IDM_DISCONNECT);
  EXPECT_TRUE(wait_control_text(main, IDC_DEVICE_INFO, "Device not connected"));
  expect_connected_state(main, false);
  EXPECT_TRUE(run.wait_output(">>DEVICE CLOSED !!\n", STEP_LIMIT_MS)) << run.output();
  close_with_close_box();
  auto record = run.record();
  EXPECT_EQ(record["counter.link_drops"], "1");
  EXPECT_EQ(record["counter.handle_misuse"], "0");
  EXPECT_EQ(record["counter.open_connections"], "0");
}

// Every line of the trace also goes to the run's log, under the user's local
// application data; Help has the item that opens its folder.
TEST_F(MainWindow, EveryTraceLineGoesToTheRunsLogAndHelpOpensItsFolder) {
  run.prepare("run_log", world());
  const std::string folder = run.file("TAVREN Firmware Update\\logs");
  for (const std::string& earlier : files_in(folder))
    DeleteFileW(wide_of(folder + "\\" + earlier).c_str());
  ASSERT_NO_FATAL_FAILURE(launch());
  EXPECT_EQ(menu_item_text(run.program(), IDR_MAIN_MENU, IDM_OPEN_LOG_FOLDER), "Open &log folder");
  post_command(main, IDM_OPEN_LOG_FOLDER);
  EXPECT_TRUE(wait_control_text(main, IDC_STATUS_LINE, "Idle")) << "the window stopped answering";
  close_with_close_box();
  const std::vector<std::string> logs = files_in(folder);
  ASSERT_EQ(logs.size(), 1u) << folder;
  EXPECT_EQ(logs[0].rfind("TavrenUpdate-", 0), 0u) << logs[0];
  const std::string log = read_file(folder + "\\" + logs[0]);
  EXPECT_FALSE(log.empty());
  EXPECT_EQ(log, run.output()) << "the log holds the trace as standard output got it";
}

// Scan pressed twice: the scan queued behind the running one must not undo
// the abort that Escape or Connect asks for.
TEST_F(DeviceSelection, ScanPressedTwiceThenEscapeOrConnectStopsBothScans) {
  ASSERT_NO_FATAL_FAILURE(launch("scan_twice"));
  HWND dialog = open_selection_and_scan(run, main);
  ASSERT_NE(dialog, nullptr);
  click_button(dialog, IDC_SCAN);
  ASSERT_TRUE(run.wait_output("mac: ", STEP_LIMIT_MS));
  ASSERT_TRUE(cancel_selection(run, dialog));
  EXPECT_TRUE(wait_until([&] { return run.count_output("Abort requested\n") == 2; }, STEP_LIMIT_MS))
      << run.output();

  std::vector<std::vector<std::string>> rows;
  dialog = scan_for_both(run, main, rows);
  ASSERT_NE(dialog, nullptr);
  click_button(dialog, IDC_SCAN);
  HWND list = GetDlgItem(dialog, IDC_DEVICE_LIST);
  ASSERT_TRUE(wait_until(
      [&] {
        rows = list_rows(run.process().handle(), list, 3);
        return row_of(rows, OUR_MAC) >= 0;
      },
      STEP_LIMIT_MS));
  ASSERT_TRUE(select_list_row(run.process().handle(), list, row_of(rows, OUR_MAC)));
  click_button(dialog, IDC_CONNECT);
  // Well before a 30 s scan could end: the connection is not held up.
  ASSERT_TRUE(run.wait_window_gone(PROGRESS_TITLE, STEP_LIMIT_MS) &&
              wait_until([&] { return control_enabled(main, IDC_UPDATE); }, STEP_LIMIT_MS))
      << run.output();
  EXPECT_EQ(run.count_output("Abort requested\n"), 4u) << run.output();
  EXPECT_EQ(run.count_output("Scan finished\n"), 0u);
  close_with_close_box();
}

// A status the device sends on its own while the finish handshake is in
// flight, then its real reply, a refusal: the error box, never Success. The
// image of 2000 bytes takes frames 1 to 14: the stray status follows the
// checksum's reply (frame 13) by 1.15 s, past the 1 s pause before the
// finish handshake; the refusal comes 300 ms after the handshake arrived.
TEST_F(FirmwareUpdate, AStrayStatusDuringTheFinishHandshakeEndsInTheErrorBox) {
  ASSERT_NO_FATAL_FAILURE(connect_and_update(
      "update_stray_status",
      world("refuse_code = 0x8F\nlate_reply_frame = 14:300\nunprompted_status = 13:after:0:1150\n"),
      image_bytes(2000)));
  HWND box = expect_box(run, "Error", "Update from local file error");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(control_text(main, IDC_STATUS_LINE), "Finish ERROR\n");
  EXPECT_EQ(run.find_window("Success"), nullptr);
  close_box(box);
  EXPECT_NE(run.record()["accepted"], "1");
  close_with_close_box();
}

// Only a regular file is sent: a device name, the device namespace and a
// folder get their box before any frame.
TEST_F(FirmwareUpdate, PathsThatAreNotFilesGetTheirBoxBeforeAnyFrame) {
  ASSERT_NO_FATAL_FAILURE(launch("update_not_files"));
  ASSERT_NO_FATAL_FAILURE(connect_to_our_device(run, main, choice::connect_button));
  for (const std::string& path : {std::string("NUL"), std::string("\\\\.\\NUL"), run.file("")}) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(start_update(main, path));
    expect_box_and_close(run, "Error",
                         "Not a firmware image file: a device, a folder or a pipe cannot be sent");
  }
  EXPECT_EQ(run.output().find("[RCS] Sending update command"), std::string::npos) << run.output();
  close_with_close_box();
}

// A folder named in letters no single code page holds, typed into the path
// field: the image is found and arrives whole. While it travels, its pace
// shows under the progress bar; it goes when the transfer ends.
TEST_F(FirmwareUpdate, AnImageInAFolderNamedInCyrillicGreekAndCjkArrivesWhileItsPaceShows) {
  run.prepare("update_unicode_path", "connection_interval_ms = 7.5\n" + world());
  const std::string folder = run.file("Прошивка Υλικολογισμικό 固件");
  ASSERT_TRUE(make_folder_named(folder));
  const std::string path = folder + "\\образ εικόνα 映像.bin";
  const std::string image = image_bytes(24000);
  ASSERT_TRUE(write_file(path, image));
  ASSERT_NO_FATAL_FAILURE(launch());
  ASSERT_NO_FATAL_FAILURE(connect_to_our_device(run, main, choice::connect_button));
  ASSERT_TRUE(set_control_text(main, IDC_IMAGE_PATH, path));
  EXPECT_EQ(control_text(main, IDC_IMAGE_PATH), path);
  click_button(main, IDC_UPDATE);

  std::string pace;
  EXPECT_TRUE(wait_until(
      [&] {
        pace = control_text(main, IDC_TRANSFER_RATE);
        return pace.find(" kB/s, ") != std::string::npos;
      },
      UPDATE_LIMIT_MS))
      << run.output();
  EXPECT_NE(pace.find(" left"), std::string::npos) << pace;
  note_screenshot(run.screenshot(main, "main_transfer_pace"));

  HWND box = expect_box(run, "Success",
                        "Updated finished OK!!\n(Now WAIT till the device finishes the update)");
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(wait_control_text(main, IDC_TRANSFER_RATE, ""))
      << control_text(main, IDC_TRANSFER_RATE);
  close_box(box);
  ASSERT_TRUE(wait_until([&] { return run.record()["accepted"] == "1"; }, STEP_LIMIT_MS));
  EXPECT_TRUE(read_file(run.file("record.txt.image")) == image)
      << "the image the device received differs from the file";
  close_with_close_box();
}

namespace {

// The screen's scale for the programs started while it lives, as Wine reads
// it at a program's start (150 % is 144 dots per inch); taken back after.
class screen_scale {
 public:
  explicit screen_scale(DWORD dpi) {
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &dpi,
                    sizeof dpi);
  }
  ~screen_scale() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels");
  }
  screen_scale(const screen_scale&) = delete;
  screen_scale& operator=(const screen_scale&) = delete;
};

}  // namespace

// At 150 % the dialogs grow with their font; the list's pixel column widths
// grow with them and keep their proportions (120, 160, 60 at 100 %).
TEST_F(DeviceSelection, At150PercentTheListColumnsGrowWithTheDialog) {
  const screen_scale scaled(144);
  ASSERT_NO_FATAL_FAILURE(launch("dpi_144", "connection_interval_ms = 7.5\n" + world()));
  std::vector<std::vector<std::string>> rows;
  HWND dialog = scan_for_both(run, main, rows);
  ASSERT_NE(dialog, nullptr);
  HWND list = GetDlgItem(dialog, IDC_DEVICE_LIST);
  EXPECT_EQ(list_column_width(list, 0), 180);
  EXPECT_EQ(list_column_width(list, 1), 240);
  EXPECT_EQ(list_column_width(list, 2), 90);
  note_screenshot(run.screenshot(dialog, "select_device_144dpi"));
  ASSERT_TRUE(cancel_selection(run, dialog));

  ASSERT_TRUE(write_file(run.file("image.bin"), image_bytes(24000)));
  ASSERT_NO_FATAL_FAILURE(connect_to_our_device(run, main, choice::connect_button));
  ASSERT_TRUE(start_update(main, run.file("image.bin")));
  EXPECT_TRUE(wait_until(
      [&] { return control_text(main, IDC_TRANSFER_RATE).find(" left") != std::string::npos; },
      UPDATE_LIMIT_MS));
  note_screenshot(run.screenshot(main, "main_transfer_pace_144dpi"));
  expect_box_and_close(run, "Success",
                       "Updated finished OK!!\n(Now WAIT till the device finishes the update)");
  close_with_close_box();
}
