// SPDX-License-Identifier: MIT
// Waits (up to 20 s) for a top-level window with the given caption and posts WM_CLOSE to it, as
// the user's close button would. Usage: postclose CAPTION. Exit code 0 when posted, 1 when no
// such window appeared, 2 on bad usage.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: postclose CAPTION\n");
    return 2;
  }
  for (int Try = 0; Try < 400; ++Try) {
    if (HWND Window = ::FindWindowA(nullptr, argv[1])) {
      if (::IsWindowVisible(Window) && ::PostMessageA(Window, WM_CLOSE, 0, 0)) return 0;
    }
    ::Sleep(50);
  }
  std::fprintf(stderr, "postclose: no visible window \"%s\"\n", argv[1]);
  return 1;
}
