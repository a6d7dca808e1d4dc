// SPDX-License-Identifier: MIT
// The application object over Win32: the message loop of the main thread, a wake-up event for
// Terminate and for the console's Ctrl+C / close, and message boxes for exceptions.
#include <cstdio>

#include "gui/Application.h"

// After the form headers: the system headers define some of their constant names as macros.
#include <windows.h>

namespace Id {

namespace {

bool GWindowSession = false;
// Set once by Initialize; signalled by Terminate and by the console handler.
HANDLE GWakeEvent = nullptr;
std::atomic<bool> GCloseRequested{false};

// The console's Ctrl+C, Ctrl+Break and close stand for the user closing the main window.
BOOL WINAPI OnConsoleControl(DWORD) {
  GCloseRequested.store(true);
  if (GWakeEvent) ::SetEvent(GWakeEvent);
  return TRUE;
}

std::string ProgramName() {
  char Path[MAX_PATH + 1];
  const DWORD Length = ::GetModuleFileNameA(nullptr, Path, MAX_PATH);
  std::string Name(Path, Length);
  Name.erase(0, Name.find_last_of("\\/") + 1);
  if (Name.size() > 4 && _stricmp(Name.c_str() + Name.size() - 4, ".exe") == 0)
    Name.resize(Name.size() - 4);
  return Name.empty() ? "application" : Name;
}

// A window can be made when the desktop lets a hidden top-level window of a registered class be
// created; without a display driver (no desktop) it cannot.
bool CanCreateWindows(std::string& AReason) {
  WNDCLASSEXA C{};
  C.cbSize = sizeof(C);
  C.lpfnWndProc = &::DefWindowProcA;
  C.hInstance = ::GetModuleHandleA(nullptr);
  C.lpszClassName = "TIdApplicationProbe";
  ::RegisterClassExA(&C);
  HWND Probe = ::CreateWindowExA(0, C.lpszClassName, "", WS_OVERLAPPED, 0, 0, 1, 1, nullptr,
                                 nullptr, C.hInstance, nullptr);
  if (!Probe) {
    AReason = "no window can be created (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  ::DestroyWindow(Probe);
  return true;
}

} // namespace

bool WindowSessionOpen() noexcept {
  return GWindowSession;
}

TApplication::TApplication(TComponent* AOwner) : TComponent(AOwner), FTitle(ProgramName()) {
  GWakeEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!GWakeEvent) throw Exception("Cannot create the wake-up event");
}

TApplication::~TApplication() {
  DestroyForms();
  if (FInitialized) ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
}

void TApplication::Initialize() {
  if (FInitialized) return;
  FInitialized = true;
  std::string Reason;
  GWindowSession = CanCreateWindows(Reason);
  if (!GWindowSession) {
    std::fprintf(stderr, "%s: %s; running without a window until Ctrl+C\n", FTitle.c_str(),
                 Reason.c_str());
    std::fflush(stderr);
  }
  ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

void TApplication::WaitForEvents() {
  const DWORD Woken = ::MsgWaitForMultipleObjects(1, &GWakeEvent, FALSE, INFINITE, QS_ALLINPUT);
  if (Woken == WAIT_OBJECT_0) HandleWakeUps();
  MSG Message;
  while (::PeekMessageA(&Message, nullptr, 0, 0, PM_REMOVE)) {
    if (Message.message == WM_QUIT) {
      FTerminated.store(true);
      break;
    }
    ::TranslateMessage(&Message);
    ::DispatchMessageA(&Message);
  }
}

void TApplication::WakeCallback(int, void* AApplication) {
  static_cast<TApplication*>(AApplication)->HandleWakeUps();
}

void TApplication::HandleWakeUps() {
  if (GCloseRequested.exchange(false)) CloseAllWindows();
}

void TApplication::CloseOtherWindows() {
  // Message boxes end with their owner's loop; nothing else stays open.
}

void TApplication::Terminate() noexcept {
  FTerminated.store(true);
  ::SetEvent(GWakeEvent);
}

bool TApplication::ShowMessageBox(const std::string& AText) {
  if (!GWindowSession) return false;
  ::MessageBoxA(nullptr, AText.c_str(), FTitle.c_str(), MB_OK | MB_ICONERROR);
  return true;
}

} // namespace Id
