// SPDX-License-Identifier: MIT
#include "bench/BenchSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace Id::Bench {

namespace {

int GStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char Byte = 1;
  // Only async-signal-safe calls here; a full pipe already says "stop".
  [[maybe_unused]] ssize_t Ignored = write(GStopPipe[1], &Byte, 1);
}

[[noreturn]] void Fail(const std::string& AWhat) {
  throw std::runtime_error(AWhat + ": " + std::strerror(errno));
}

} // namespace

TBenchArgs::TBenchArgs(int argc, char** argv) {
  for (int I = 1; I < argc; ++I) {
    std::string Word = argv[I];
    if (Word.rfind("--", 0) != 0) throw std::runtime_error("unexpected argument: " + Word);
    const bool HasValue = I + 1 < argc && std::string(argv[I + 1]).rfind("--", 0) != 0;
    FValues[Word.substr(2)] = HasValue ? argv[++I] : "1";
  }
}

std::string TBenchArgs::Str(const std::string& AName, const std::string& ADefault) const {
  auto It = FValues.find(AName);
  return It == FValues.end() ? ADefault : It->second;
}

long TBenchArgs::Int(const std::string& AName, long ADefault) const {
  auto It = FValues.find(AName);
  if (It == FValues.end()) return ADefault;
  size_t Used = 0;
  long Value = std::stol(It->second, &Used);
  if (Used != It->second.size()) throw std::runtime_error("not an integer: --" + AName);
  return Value;
}

double TBenchArgs::Real(const std::string& AName, double ADefault) const {
  auto It = FValues.find(AName);
  if (It == FValues.end()) return ADefault;
  size_t Used = 0;
  double Value = std::stod(It->second, &Used);
  if (Used != It->second.size()) throw std::runtime_error("not a number: --" + AName);
  return Value;
}

void PinToCpu(int ACpu) {
  cpu_set_t Set;
  CPU_ZERO(&Set);
  CPU_SET(ACpu, &Set);
  if (sched_setaffinity(0, sizeof(Set), &Set) != 0) Fail("sched_setaffinity");
}

uint64_t NowNs() {
  timespec Ts;
  clock_gettime(CLOCK_MONOTONIC, &Ts);
  return uint64_t(Ts.tv_sec) * 1000000000u + uint64_t(Ts.tv_nsec);
}

void InstallStopSignal() {
  if (pipe2(GStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) Fail("pipe2");
  struct sigaction Action {};
  Action.sa_handler = OnStopSignal;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &Action, nullptr);
  sigaction(SIGINT, &Action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int StopSignalFd() {
  return GStopPipe[0];
}

void WaitForStopSignal() {
  pollfd Pfd{GStopPipe[0], POLLIN, 0};
  while (poll(&Pfd, 1, -1) < 0 && errno == EINTR) {
  }
}

int ListenLoopback(int APort, int ABacklog) {
  int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0) Fail("socket");
  int One = 1;
  setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof(One));
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_port = htons(uint16_t(APort));
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)) != 0) Fail("bind");
  if (listen(Fd, ABacklog) != 0) Fail("listen");
  return Fd;
}

int ConnectLoopback(int APort, double ATimeoutS) {
  int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0) Fail("socket");
  timeval Limit{time_t(ATimeoutS), 0};
  setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof(Limit));
  setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &Limit, sizeof(Limit));
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_port = htons(uint16_t(APort));
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)) != 0) {
    close(Fd);
    Fail("connect");
  }
  return Fd;
}

uint64_t SendFiller(int AFd, uint64_t ABytes) {
  std::vector<char> Block(size_t(1) << 20, 'x');
  uint64_t Left = ABytes;
  while (Left > 0) {
    ssize_t Sent =
        send(AFd, Block.data(), size_t(std::min<uint64_t>(Left, Block.size())), MSG_NOSIGNAL);
    if (Sent <= 0) break;
    Left -= uint64_t(Sent);
  }
  return ABytes - Left;
}

int LocalPort(int AFd) {
  sockaddr_in Addr{};
  socklen_t Len = sizeof(Addr);
  if (getsockname(AFd, reinterpret_cast<sockaddr*>(&Addr), &Len) != 0) Fail("getsockname");
  return ntohs(Addr.sin_port);
}

long StackKibArg(const TBenchArgs& AArgs) {
  const long Kib = AArgs.Int("stack-kib", 0);
  if (Kib < 0 || (Kib > 0 && size_t(Kib) * 1024 < size_t(PTHREAD_STACK_MIN)))
    throw std::runtime_error("--stack-kib below the minimum of " +
                             std::to_string(size_t(PTHREAD_STACK_MIN) / 1024) + " KiB");
  return Kib;
}

bool StartDetachedPthread(void* (*AEntry)(void*), void* AArg, long AStackKib) {
  pthread_attr_t Attr;
  pthread_attr_init(&Attr);
  int Error = pthread_attr_setstacksize(&Attr, size_t(AStackKib) * 1024);
  if (Error != 0) {
    pthread_attr_destroy(&Attr);
    errno = Error;
    Fail("pthread_attr_setstacksize " + std::to_string(AStackKib) + " KiB");
  }
  pthread_attr_setdetachstate(&Attr, PTHREAD_CREATE_DETACHED);
  pthread_t Thread;
  Error = pthread_create(&Thread, &Attr, AEntry, AArg);
  pthread_attr_destroy(&Attr);
  return Error == 0;
}

void PrintFact(const std::string& AKey, const std::string& AValue) {
  std::printf("%s=%s\n", AKey.c_str(), AValue.c_str());
  std::fflush(stdout);
}

int RunTool(const char* AName, int (*AMain)(int, char**), int argc, char** argv, int AFailureCode) {
  try {
    return AMain(argc, argv);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "%s: %s\n", AName, E.what());
    return AFailureCode;
  }
}

} // namespace Id::Bench
