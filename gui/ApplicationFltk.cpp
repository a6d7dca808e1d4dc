// SPDX-License-Identifier: MIT
// The application object over FLTK (X11): the display, a self-pipe that wakes the event loop
// for Terminate and for SIGINT/SIGTERM, and the toolkit's message boxes.
#include "gui/Application.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>
#include <FL/x.H>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
// The font library that draws message box text keeps caches it never frees; not our leaks.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
#endif

namespace Id {

namespace {

constexpr char WakeTerminate = 0; // any other byte is the number of a termination signal

bool GWindowSession = false;

// Where the signal handler writes; -1 while no application handles signals.
std::atomic<int> GSignalFd{-1};
std::atomic<int> GSignalsSeen{0}; // lock-free, so usable in the handler

extern "C" void OnTerminationSignal(int ASignal) {
  const int SavedErrno = errno;
  // A second signal while the first is still being handled takes the signal's default action,
  // so a stuck shutdown can still be interrupted from the terminal.
  if (GSignalsSeen.fetch_add(1) > 0) {
    std::signal(ASignal, SIG_DFL);
    std::raise(ASignal);
  }
  const int Fd = GSignalFd.load();
  const char Byte = static_cast<char>(ASignal);
  if (Fd >= 0 && write(Fd, &Byte, 1) < 0) {
    // A full pipe already holds a wake-up; nothing else can be done here.
  }
  errno = SavedErrno;
}

void InstallSignalHandlers(int AWakeFd) {
  GSignalsSeen.store(0);
  GSignalFd.store(AWakeFd);
  struct sigaction Action {};
  Action.sa_handler = &OnTerminationSignal;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &Action, nullptr);
  sigaction(SIGTERM, &Action, nullptr);
}

void RestoreSignalHandlers() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  GSignalFd.store(-1);
}

std::string ProgramName() {
  const char* Name = program_invocation_short_name;
  return Name && *Name ? Name : "application";
}

// Opens the X display for the toolkit; on failure returns why there is no window session.
bool OpenDisplay(std::string& AReason) {
  const char* Display = std::getenv("DISPLAY");
  if (!Display || !*Display) {
    AReason = "DISPLAY is not set";
    return false;
  }
  // The toolkit ends the process when it cannot open the display itself, so try first.
  ::Display* Connection = XOpenDisplay(nullptr);
  if (!Connection) {
    AReason = std::string("cannot open display ") + Display;
    return false;
  }
  fl_open_display(Connection);
  return true;
}

} // namespace

bool WindowSessionOpen() noexcept {
  return GWindowSession;
}

TApplication::TApplication(TComponent* AOwner) : TComponent(AOwner), FTitle(ProgramName()) {
  int Fds[2];
  if (pipe2(Fds, O_CLOEXEC | O_NONBLOCK) != 0) throw Exception("Cannot create the wake-up pipe");
  FWakeRead = Fds[0];
  FWakeWrite = Fds[1];
}

TApplication::~TApplication() {
  DestroyForms();
  if (GSignalFd.load() == FWakeWrite) RestoreSignalHandlers();
  if (FInitialized && GWindowSession) Fl::remove_fd(FWakeRead);
  close(FWakeRead);
  close(FWakeWrite);
}

void TApplication::Initialize() {
  if (FInitialized) return;
  FInitialized = true;
  std::string Reason;
  GWindowSession = OpenDisplay(Reason);
  if (GWindowSession) {
    Fl_Window::default_xclass(FTitle.c_str()); // copied; names the program to the desktop
    Fl::add_fd(FWakeRead, FL_READ, &TApplication::WakeCallback, this);
  } else {
    std::fprintf(stderr, "%s: no display (%s); running without a window until SIGINT or SIGTERM\n",
                 FTitle.c_str(), Reason.c_str());
    std::fflush(stderr);
  }
  InstallSignalHandlers(FWakeWrite);
}

void TApplication::WaitForEvents() {
  if (GWindowSession) {
    // Wake-ups arrive through WakeCallback while the toolkit waits.
    Fl::wait(1e20);
    return;
  }
  pollfd Wake{FWakeRead, POLLIN, 0};
  if (poll(&Wake, 1, -1) > 0) HandleWakeUps();
}

void TApplication::WakeCallback(int, void* AApplication) {
  static_cast<TApplication*>(AApplication)->HandleWakeUps();
}

void TApplication::HandleWakeUps() {
  char Bytes[64];
  bool Signalled = false;
  for (;;) {
    const ssize_t Count = read(FWakeRead, Bytes, sizeof Bytes);
    if (Count <= 0) break;
    for (ssize_t I = 0; I < Count; ++I)
      Signalled |= Bytes[I] != WakeTerminate;
  }
  if (Signalled) CloseAllWindows();
}

// A termination signal also dismisses any message box, whose own loop would otherwise keep the
// program waiting.
void TApplication::CloseOtherWindows() {
  if (!GWindowSession) return;
  while (Fl_Window* Window = Fl::first_window())
    Window->hide();
}

void TApplication::Terminate() noexcept {
  FTerminated.store(true);
  const char Byte = WakeTerminate;
  if (write(FWakeWrite, &Byte, 1) < 0) {
    // A full pipe already holds a wake-up.
  }
}

bool TApplication::ShowMessageBox(const std::string& AText) {
  if (!GWindowSession) return false;
  fl_message_title(FTitle.c_str());
  fl_alert("%s", AText.c_str());
  return true;
}

} // namespace Id
