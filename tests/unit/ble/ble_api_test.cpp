#include "ble/ble_api.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/support/trace_capture.h"

namespace {

bool table_is_full(const ble_api_table& table) {
  // Every field is a function pointer of the same size.
  const void* const* slot = reinterpret_cast<const void* const*>(&table);
  for (size_t i = 0; i < sizeof table / sizeof(void*); ++i)
    if (!slot[i]) return false;
  return sizeof table / sizeof(void*) == 25;
}

class Loader : public ::testing::Test {
 protected:
  void TearDown() override { set_lock_objects_creator_for_tests(nullptr); }
  ble_api_table table{};
  std::string error;
};

TEST_F(Loader, LoadsEveryFunction) {
  EXPECT_STREQ(ble_library_file_name(), "libwarble.so");
  ASSERT_TRUE(ble_api_try_load(FULL_LIBRARY, table, error)) << error;
  EXPECT_TRUE(table_is_full(table));
  EXPECT_STREQ(table.warble_lib_version(), "test-1.0");
}

TEST_F(Loader, ReportsAMissingLibrary) {
  EXPECT_FALSE(ble_api_try_load("/nonexistent/libwarble.so", table, error));
  EXPECT_EQ(error, "Bluetooth DLL library not found (warble.dll)");
}

TEST_F(Loader, ReportsTheFirstMissingFunctionAndKeepsTheTable) {
  EXPECT_FALSE(ble_api_try_load(LIBRARY_WITHOUT_DELETE_AND_INIT, table, error));
  EXPECT_EQ(error, "ERROR: Warble unknown function warble_gatt_delete");
  EXPECT_FALSE(ble_api_try_load(LIBRARY_WITHOUT_LAST, table, error));
  EXPECT_EQ(error, "ERROR: Warble unknown function warble_gattchar_on_notification_received");
  EXPECT_EQ(table.warble_lib_version, nullptr);
}

TEST_F(Loader, ReportsLockObjectFailures) {
  set_lock_objects_creator_for_tests([](const char** which) {
    *which = "mutex";
    errno = 12;
    return false;
  });
  EXPECT_FALSE(ble_api_try_load(FULL_LIBRARY, table, error));
  EXPECT_EQ(error, "CreateMutex error: 12\n");

  set_lock_objects_creator_for_tests([](const char** which) {
    *which = "event";
    errno = 24;
    return false;
  });
  EXPECT_FALSE(ble_api_try_load(FULL_LIBRARY, table, error));
  EXPECT_EQ(error, "CreateEvent error: 24\n");
  EXPECT_EQ(table.warble_lib_version, nullptr);
}

// The test's environment puts the full library on the search path.
TEST_F(Loader, StartUpLoadFindsTheLibraryOnTheSearchPath) {
  trace_capture trace;
  EXPECT_TRUE(ble_api_load(nullptr, error)) << error;
  EXPECT_EQ(trace.text(), "WARBLE test-1.0!\n");
  EXPECT_TRUE(table_is_full(ble_api));

  // A missing one is reported to the caller, which decides how to say it.
  trace.clear();
  EXPECT_FALSE(ble_api_load("/nonexistent/libwarble.so", error));
  EXPECT_EQ(error, "Bluetooth DLL library not found (warble.dll)");
  EXPECT_EQ(trace.text(), "");
}

}  // namespace
