// Stands in for the sibling console program in the start-up tests: it only
// waits, so that its exit code tells whether someone ended it.
#include <windows.h>

constexpr DWORD SLEEPER_LIFETIME_MS = 120000;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Sleep(SLEEPER_LIFETIME_MS);
  return 0;
}
