// SPDX-License-Identifier: MIT
// Helpers for the stress tests: scaling under sanitizers, process facts (descriptors, threads,
// resident memory, a thread's CPU time), the baseline they must return to, descriptor limits, and
// a crowd of scripted non-blocking loopback clients driven by one poll loop.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "idframework/core/detail/IdDebugCounters.h"
#include "idframework/threads/IdThread.h"
#include "server/ServerTestSupport.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ID_STRESS_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ID_STRESS_SANITIZED 1
#endif

namespace IdStress {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

/// Counts are divided by this under a sanitizer, whose threads and memory cost several times
/// more; every figure the tests check holds for the smaller counts just as well.
#ifdef ID_STRESS_SANITIZED
inline constexpr int ScaleDivisor = 4;
inline constexpr bool Sanitized = true;
#else
inline constexpr int ScaleDivisor = 1;
inline constexpr bool Sanitized = false;
#endif
inline constexpr int Scaled(int ACount) {
  return std::max(1, ACount / ScaleDivisor);
}
/// Time limits for facts that must come quickly; sanitizers slow every thread down.
inline constexpr std::chrono::milliseconds Quick(std::chrono::milliseconds ALimit) {
  return Sanitized ? ALimit * 3 : ALimit;
}

inline int64_t ElapsedMs(TClock::time_point AStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - AStart).count();
}

inline pid_t KernelThreadId() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

/// Resident memory of the process in KiB.
inline int64_t ResidentKiB() {
  std::ifstream In("/proc/self/statm");
  int64_t Size = 0, Resident = 0;
  In >> Size >> Resident;
  return Resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

/// A thread's CPU time read through a descriptor opened beforehand, so that it can be read while
/// the process has no descriptor left.
class TThreadCpuProbe {
public:
  explicit TThreadCpuProbe(pid_t ATid) {
    FFd = ::open(("/proc/self/task/" + std::to_string(ATid) + "/stat").c_str(), O_RDONLY);
  }
  ~TThreadCpuProbe() {
    if (FFd >= 0) ::close(FFd);
  }
  TThreadCpuProbe(const TThreadCpuProbe&) = delete;
  TThreadCpuProbe& operator=(const TThreadCpuProbe&) = delete;
  bool IsOpen() const { return FFd >= 0; }
  /// User plus system time in clock ticks; -1 when unreadable. Plain C parsing: nothing here
  /// may need a descriptor of its own.
  int64_t Ticks() const {
    char Buffer[1024];
    const ssize_t N = ::pread(FFd, Buffer, sizeof(Buffer) - 1, 0);
    if (N <= 0) return -1;
    Buffer[N] = '\0';
    // The command name may hold blanks; the fields after its ')' are plain numbers, the first
    // of them field 3, user time field 14, system time field 15.
    const char* At = std::strrchr(Buffer, ')');
    if (!At) return -1;
    ++At;
    int64_t Sum = 0;
    for (int Field = 3; Field <= 15; ++Field) {
      while (*At == ' ')
        ++At;
      char* End = nullptr;
      const long long Value = std::strtoll(At, &End, 10);
      if (Field >= 14) Sum += Value;
      while (*End && *End != ' ')
        ++End; // the state letter is not a number
      At = End;
    }
    return Sum;
  }

private:
  int FFd = -1;
};

inline int64_t TicksPerSecond() {
  return ::sysconf(_SC_CLK_TCK);
}

/// Sets the soft descriptor limit for the life of the object and puts the old one back.
class TDescriptorLimit {
public:
  explicit TDescriptorLimit(rlim_t ASoft) {
    ::getrlimit(RLIMIT_NOFILE, &FSaved);
    rlimit Wanted = FSaved;
    Wanted.rlim_cur = std::min(ASoft, FSaved.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &Wanted);
  }
  ~TDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &FSaved); }
  TDescriptorLimit(const TDescriptorLimit&) = delete;
  TDescriptorLimit& operator=(const TDescriptorLimit&) = delete;
  static rlim_t Current() {
    rlimit Limit{};
    ::getrlimit(RLIMIT_NOFILE, &Limit);
    return Limit.rlim_cur;
  }

private:
  rlimit FSaved{};
};

/// Holds descriptors (of /dev/null) taken from the lowest free numbers up, and closes them when
/// destroyed. Taking stops once number AUpTo is taken or the system refuses one; the AGiveBack
/// highest are then closed again, so that exactly those stay free below the limit.
class TDescriptorsTaken {
public:
  explicit TDescriptorsTaken(int AUpTo, int AGiveBack = 0) {
    for (int Fd = ::open("/dev/null", O_RDONLY); Fd >= 0; Fd = ::open("/dev/null", O_RDONLY)) {
      FTaken.push_back(Fd);
      if (Fd >= AUpTo) break;
    }
    for (int I = 0; I < AGiveBack && !FTaken.empty(); ++I) {
      ::close(FTaken.back());
      FTaken.pop_back();
    }
  }
  ~TDescriptorsTaken() {
    for (int Fd : FTaken)
      ::close(Fd);
  }
  TDescriptorsTaken(const TDescriptorsTaken&) = delete;
  TDescriptorsTaken& operator=(const TDescriptorsTaken&) = delete;

private:
  std::vector<int> FTaken;
};

/// Everything that must come back after a load: descriptors, threads and the live counts.
struct TFacts {
  int Descriptors = 0;
  int Threads = 0;
  Id::TIdDebugCounts Counts;
  int32_t LiveThreadObjects = 0;

  static TFacts Now() {
    TFacts F;
    F.Descriptors = IdTest::OpenDescriptorCount();
    F.Threads = IdTest::WorkingThreadCount();
    F.Counts = Id::DebugCounts();
    F.LiveThreadObjects = Id::LiveThreadCount();
    return F;
  }
  bool operator==(const TFacts& AOther) const {
    return Descriptors == AOther.Descriptors && Threads == AOther.Threads &&
           Counts == AOther.Counts && LiveThreadObjects == AOther.LiveThreadObjects;
  }
  std::string Text() const {
    return std::to_string(Descriptors) + " descriptors, " + std::to_string(Threads) + " threads, " +
           std::to_string(Counts.SocketHandles) + " socket handles, " +
           std::to_string(Counts.Connections) + " connections, " + std::to_string(Counts.Threads) +
           " thread objects";
  }
};

/// No operating-system thread is kept parked for reuse while the object lives, and none is
/// parked when it begins: every thread object's body runs on a thread of its own, whose id tells
/// it apart.
class TNoParkedThreads {
public:
  TNoParkedThreads()
      : FMax(Id::TThread::MaxParkedThreads()), FIdleMs(Id::TThread::ParkedThreadIdleMs()) {
    Id::TThread::SetParkedThreads(0, FIdleMs);
  }
  ~TNoParkedThreads() { Id::TThread::SetParkedThreads(FMax, FIdleMs); }
  TNoParkedThreads(const TNoParkedThreads&) = delete;
  TNoParkedThreads& operator=(const TNoParkedThreads&) = delete;

private:
  int32_t FMax;
  int32_t FIdleMs;
};

/// Waits until the facts equal ABaseline; on failure the message tells what is left over.
inline testing::AssertionResult BackAt(const TFacts& ABaseline, std::chrono::milliseconds ALimit) {
  if (IdTest::WaitFor([&] { return TFacts::Now() == ABaseline; }, ALimit))
    return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "now " << TFacts::Now().Text() << "; baseline " << ABaseline.Text();
}

/// A settled baseline: the things made once per process exist (the sanitizer runtime's helper
/// thread) and no framework thread is left.
inline TFacts SettledBaseline() {
  // The kernel can list a joined thread a little longer: it must be gone before the count.
  long Tid = 0;
  std::thread([&Tid] { Tid = ::syscall(SYS_gettid); }).join();
  const std::string TaskPath = "/proc/self/task/" + std::to_string(Tid);
  IdTest::WaitFor([&] { return ::access(TaskPath.c_str(), F_OK) != 0; }, IdTest::FactLimit);
  return TFacts::Now();
}

/// The facts of an idle active server with one binding, taken once its listener waits for the
/// next client: the binding's handle, the listener's reserve descriptor and the handle of the
/// transport the listener has ready for that client count as live socket handles beyond
/// AInactive (no descriptor comes with the last until a client is accepted).
inline TFacts IdleServerFacts(const TFacts& AInactive) {
  IdTest::WaitFor(
      [&] { return Id::DebugCounts().SocketHandles == AInactive.Counts.SocketHandles + 3; },
      IdTest::FactLimit);
  return TFacts::Now();
}

/// What one scripted client does.
enum class TClientScript {
  /// Sends its text, then reads until the server closes.
  csComplete,
  /// Sends its text (half a line), then resets the connection (linger 0) and is done.
  csHalfLineReset,
  /// Sends its text, shuts its sending side, then reads until the server closes.
  csHalfClose,
};

struct TCrowdClient {
  TClientScript Script = TClientScript::csComplete;
  std::string ToSend;
  std::string Received;
  bool Done = false;
  bool PeerClosed = false; // an orderly close or a reset after the expected bytes
  bool Failed = false;     // the connect failed or the time ran out
  int Fd = -1;
  size_t Sent = 0;
  bool WriteShut = false;
};

/// Non-blocking clients of 127.0.0.1:APort, all connected at once and run to their end by one
/// poll loop on the calling thread; bounded by ALimit (unfinished clients are Failed).
inline void RunCrowd(int32_t APort, std::vector<TCrowdClient>& AClients,
                     std::chrono::milliseconds ALimit = 30s) {
  auto Finish = [](TCrowdClient& C, bool AFailed) {
    if (C.Fd >= 0) IdTest::Raw::Close(C.Fd);
    C.Fd = -1;
    C.Done = true;
    C.Failed = AFailed;
  };
  for (TCrowdClient& C : AClients) {
    C.Fd = IdTest::Raw::Socket();
    if (C.Fd < 0 || ::fcntl(C.Fd, F_SETFL, O_NONBLOCK) != 0 ||
        (!IdTest::Raw::Connect(C.Fd, APort) && errno != EINPROGRESS))
      Finish(C, true);
  }
  const auto Deadline = TClock::now() + ALimit;
  std::vector<pollfd> Fds;
  std::vector<TCrowdClient*> Owners;
  for (;;) {
    Fds.clear();
    Owners.clear();
    for (TCrowdClient& C : AClients) {
      if (C.Done) continue;
      const short Events = C.Sent < C.ToSend.size() ? POLLOUT : POLLIN;
      Fds.push_back(pollfd{C.Fd, Events, 0});
      Owners.push_back(&C);
    }
    if (Fds.empty()) return;
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now());
    if (Left.count() <= 0) break;
    if (::poll(Fds.data(), Fds.size(), static_cast<int>(Left.count())) < 0 && errno != EINTR) break;
    for (size_t I = 0; I < Fds.size(); ++I) {
      TCrowdClient& C = *Owners[I];
      if (Fds[I].revents == 0) continue;
      if (C.Sent < C.ToSend.size()) {
        const long N = IdTest::Raw::Send(C.Fd, C.ToSend.data() + C.Sent, C.ToSend.size() - C.Sent);
        if (N < 0 && errno != EAGAIN) {
          Finish(C, true);
          continue;
        }
        if (N > 0) C.Sent += static_cast<size_t>(N);
        if (C.Sent < C.ToSend.size()) continue;
      }
      if (C.Script == TClientScript::csHalfLineReset) {
        IdTest::Raw::CloseWithReset(C.Fd);
        C.Fd = -1;
        Finish(C, false);
        continue;
      }
      if (C.Script == TClientScript::csHalfClose && !C.WriteShut) {
        IdTest::Raw::ShutdownWrite(C.Fd);
        C.WriteShut = true;
      }
      if (!(Fds[I].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char Block[4096];
      for (;;) {
        const long N = IdTest::Raw::Receive(C.Fd, Block, sizeof(Block));
        if (N > 0) {
          C.Received.append(Block, static_cast<size_t>(N));
          continue;
        }
        if (N < 0 && errno == EAGAIN) break;
        // 0: the orderly close; a reset counts as a close too (a peer closing with unread input
        // resets), the bytes received before it are what the test checks.
        C.PeerClosed = N == 0 || errno == ECONNRESET;
        Finish(C, !C.PeerClosed);
        break;
      }
    }
  }
  for (TCrowdClient& C : AClients)
    if (!C.Done) Finish(C, true);
}

/// Blocking client sockets connected to 127.0.0.1:APort, closed when the object goes. A receive
/// buffer size (ARecvBuffer > 0) is set before the connect, so it bounds what the server can
/// push ahead of a client that does not read.
class TClientSockets {
public:
  /// Connects ACount more; false (with the rest left out) when one fails.
  bool Connect(int32_t APort, int ACount, int ARecvBuffer = 0) {
    for (int I = 0; I < ACount; ++I) {
      IdTest::TRawPeer& Client = FClients.emplace_back();
      if (!Client.Open()) return false;
      if (ARecvBuffer > 0)
        ::setsockopt(Client.Fd(), SOL_SOCKET, SO_RCVBUF, &ARecvBuffer, sizeof(ARecvBuffer));
      if (!Client.Connect(APort)) return false;
    }
    return true;
  }
  /// Reads every socket until its peer closed or reset it; the number that saw it by ALimit.
  /// One poll over all of them, so that none waits for another.
  int CountSeeingClose(std::chrono::milliseconds ALimit) {
    std::vector<char> Open(FClients.size(), 1);
    size_t Left = FClients.size();
    const auto Deadline = TClock::now() + ALimit;
    std::vector<pollfd> Fds;
    std::vector<size_t> Index;
    std::vector<char> Block(65536);
    while (Left > 0 && TClock::now() < Deadline) {
      Fds.clear();
      Index.clear();
      for (size_t I = 0; I < FClients.size(); ++I)
        if (Open[I]) {
          Fds.push_back(pollfd{FClients[I].Fd(), POLLIN, 0});
          Index.push_back(I);
        }
      const auto Wait =
          std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now());
      if (::poll(Fds.data(), Fds.size(), static_cast<int>(std::max<int64_t>(Wait.count(), 0))) <= 0)
        continue;
      for (size_t J = 0; J < Fds.size(); ++J) {
        if (!Fds[J].revents) continue;
        ssize_t N = 0;
        while ((N = ::recv(Fds[J].fd, Block.data(), Block.size(), MSG_DONTWAIT)) > 0) {
        }
        if (N == 0 || (errno != EAGAIN && errno != EINTR)) {
          Open[Index[J]] = 0;
          --Left;
        }
      }
    }
    return static_cast<int>(FClients.size() - Left);
  }
  void CloseAll() { FClients.clear(); }
  size_t Count() const { return FClients.size(); }

private:
  std::vector<IdTest::TRawPeer> FClients;
};

} // namespace IdStress
