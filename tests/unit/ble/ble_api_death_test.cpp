#include <gtest/gtest.h>

#include <cstdio>

#include "ble/ble_api.h"
#include "tests/support/recording_display.h"

namespace {

// No libwarble.so on this test's search path.
TEST(LoaderDeathTest, StartUpWithoutTheLibraryShowsTheBoxAndExits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        recording_display display;
        display.on_message_box([](const recorded_box& box) {
          fprintf(stderr, "box owner=%d caption=[%s] text=[%s] icon=%d\n",
                  static_cast<int>(box.owner), box.caption.c_str(), box.text.c_str(),
                  static_cast<int>(box.icon));
        });
        ble_api_load();
      },
      ::testing::ExitedWithCode(1),
      "box owner=0 caption=\\[ERROR\\] text=\\[Bluetooth DLL library not found "
      "\\(warble.dll\\)\\] icon=0");
}

}  // namespace
