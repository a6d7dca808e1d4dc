// SPDX-License-Identifier: MIT
#include "bench/LoadGenerator.h"

#include "bench/BenchSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Id::Bench {

namespace {

const char* const KFailNames[fkKindCount] = {"refused", "reset",  "wrong",
                                             "timeout", "closed", "other"};
const char* const KModeNames[] = {"close", "line", "hold"};
constexpr size_t KMaxReceived = 65536;
constexpr uint64_t KScanIntervalNs = 10'000'000;

uint32_t LoopbackAddress(const std::string& AHost) {
  in_addr Addr{};
  if (inet_pton(AF_INET, AHost.c_str(), &Addr) != 1)
    throw std::runtime_error("not an IPv4 address: " + AHost);
  // Load goes to this machine only.
  if ((ntohl(Addr.s_addr) >> 24) != 127) throw std::runtime_error("not a loopback address");
  return Addr.s_addr;
}

double CpuSeconds() {
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  return double(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
         double(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

bool StopRequested() {
  char Byte;
  return read(StopSignalFd(), &Byte, 1) == 1;
}

std::string Fixed(double AValue, int ADecimals) {
  char Text[64];
  std::snprintf(Text, sizeof(Text), "%.*f", ADecimals, AValue);
  return Text;
}

// Percentile by rank over sorted values, in microseconds.
std::string PercentileUs(const std::vector<uint64_t>& ASorted, double AQuantile) {
  if (ASorted.empty()) return "0";
  size_t Rank = std::min(ASorted.size() - 1, size_t(AQuantile * double(ASorted.size())));
  return Fixed(double(ASorted[Rank]) / 1000.0, 1);
}

} // namespace

TLoadGenerator::TLoadGenerator(const TLoadOptions& AOptions)
    : FOptions(AOptions), FAddress(LoopbackAddress(AOptions.Host)), FSlots(AOptions.Concurrency) {
  FEpoll = epoll_create1(EPOLL_CLOEXEC);
  if (FEpoll < 0) throw std::runtime_error("epoll_create1 failed");
  for (size_t I = FSlots.size(); I > 0; --I)
    FFree.push_back(I - 1);
  FLatencyNs.reserve(1 << 20);
}

TLoadGenerator::~TLoadGenerator() {
  for (TSlot& Slot : FSlots)
    if (Slot.Fd >= 0) close(Slot.Fd);
  close(FEpoll);
}

bool TLoadGenerator::MayStartMore() const {
  if (FStopping) return false;
  if (FOptions.Mode == TLoadMode::lmHold)
    return FStarted < FOptions.Concurrency && FSetup < FOptions.Window;
  return FOptions.Count == 0 || FStarted < FOptions.Count;
}

void TLoadGenerator::StartConnections() {
  // A bounded number per call: a connect that fails at once puts its slot back on the list.
  for (size_t Budget = FFree.size(); Budget > 0 && !FFree.empty() && MayStartMore(); --Budget) {
    size_t Slot = FFree.back();
    FFree.pop_back();
    Open(Slot);
  }
}

void TLoadGenerator::Watch(size_t ASlot, uint32_t AEvents, bool AAdd) {
  epoll_event Event{};
  Event.events = AEvents;
  Event.data.u64 = ASlot;
  if (epoll_ctl(FEpoll, AAdd ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, FSlots[ASlot].Fd, &Event) != 0)
    FailWithErrno(ASlot, errno);
}

void TLoadGenerator::Open(size_t ASlot) {
  TSlot& S = FSlots[ASlot];
  S.Received.clear();
  S.StartNs = NowNs();
  S.DeadlineNs = S.StartNs + uint64_t(FOptions.TimeoutMs) * 1000000u;
  if (FOptions.Mode != TLoadMode::lmLine) ++FStarted;
  if (FOptions.Mode == TLoadMode::lmHold) ++FSetup;
  S.Fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (S.Fd < 0) return FailWithErrno(ASlot, errno);
  ++FBusy;
  const int One = 1;
  if (FOptions.Mode != TLoadMode::lmClose)
    setsockopt(S.Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof(One));
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_port = htons(uint16_t(FOptions.Port));
  Addr.sin_addr.s_addr = FAddress;
  if (connect(S.Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)) != 0 && errno != EINPROGRESS)
    return FailWithErrno(ASlot, errno);
  // Close mode only reads: a failed connect shows as a read error, so no separate wait.
  const bool ReadOnly = FOptions.Mode == TLoadMode::lmClose;
  S.State = ReadOnly ? TSlotState::ssWaiting : TSlotState::ssConnecting;
  Watch(ASlot, ReadOnly ? EPOLLIN : EPOLLOUT, true);
}

void TLoadGenerator::OnEvent(size_t ASlot, uint32_t AEvents) {
  TSlot& S = FSlots[ASlot];
  if (S.Fd < 0) return;
  if (S.State == TSlotState::ssConnecting) {
    (void)AEvents;
    OnConnected(ASlot);
  } else {
    OnReadable(ASlot);
  }
}

void TLoadGenerator::OnConnected(size_t ASlot) {
  int Error = 0;
  socklen_t Len = sizeof(Error);
  getsockopt(FSlots[ASlot].Fd, SOL_SOCKET, SO_ERROR, &Error, &Len);
  if (Error != 0) return FailWithErrno(ASlot, Error);
  FSlots[ASlot].State = TSlotState::ssWaiting;
  if (!SendLine(ASlot)) return;
  Watch(ASlot, EPOLLIN, false);
}

bool TLoadGenerator::SendLine(size_t ASlot) {
  TSlot& S = FSlots[ASlot];
  const std::string Text = FOptions.Line + "\r\n";
  if (FOptions.Mode == TLoadMode::lmLine) ++FStarted;
  S.StartNs = NowNs();
  S.DeadlineNs = S.StartNs + uint64_t(FOptions.TimeoutMs) * 1000000u;
  ssize_t Sent = send(S.Fd, Text.data(), Text.size(), MSG_NOSIGNAL);
  if (Sent == ssize_t(Text.size())) return true;
  FailWithErrno(ASlot, Sent < 0 ? errno : EAGAIN);
  return false;
}

void TLoadGenerator::OnReadable(size_t ASlot) {
  TSlot& S = FSlots[ASlot];
  char Buffer[4096];
  for (;;) {
    ssize_t Got = recv(S.Fd, Buffer, sizeof(Buffer), 0);
    if (Got > 0) {
      S.Received.append(Buffer, size_t(Got));
      if (S.Received.size() > KMaxReceived) return Fail(ASlot, fkWrong);
      continue;
    }
    if (Got == 0) return OnBytes(ASlot, true);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return OnBytes(ASlot, false);
    // A reset of an idle held connection is the server ending it, as a close would be.
    if (S.State == TSlotState::ssIdle) return OnBytes(ASlot, true);
    return FailWithErrno(ASlot, errno);
  }
}

void TLoadGenerator::OnBytes(size_t ASlot, bool AEof) {
  TSlot& S = FSlots[ASlot];
  if (FOptions.Mode == TLoadMode::lmClose) {
    if (AEof) S.Received == FOptions.Expect ? Succeed(ASlot) : Fail(ASlot, fkWrong);
    return;
  }
  size_t Lf = S.Received.find('\n');
  if (Lf != std::string::npos && S.State == TSlotState::ssWaiting) {
    std::string Line = S.Received.substr(0, Lf);
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    S.Received.erase(0, Lf + 1);
    OnReplyLine(ASlot, Line);
  } else if (Lf != std::string::npos) {
    return Fail(ASlot, fkWrong); // a line nobody asked for
  }
  if (!AEof || S.Fd < 0) return;
  if (S.State != TSlotState::ssIdle) return Fail(ASlot, fkClosed);
  if (FClosedByPeer++ == 0) FFirstCloseNs = NowNs();
  FLastDoneNs = NowNs();
  --FServed;
  close(S.Fd);
  S.Fd = -1;
  --FBusy;
  S.State = TSlotState::ssDone;
}

void TLoadGenerator::OnReplyLine(size_t ASlot, const std::string& ALine) {
  TSlot& S = FSlots[ASlot];
  if (ALine.compare(0, FOptions.ReplyPrefix.size(), FOptions.ReplyPrefix) != 0)
    return Fail(ASlot, fkWrong);
  const uint64_t Now = NowNs();
  FLatencyNs.push_back(Now - S.StartNs);
  ++FOk;
  FLastDoneNs = FLastOkNs = Now;
  if (FOptions.Mode == TLoadMode::lmHold) {
    S.State = TSlotState::ssIdle;
    S.DeadlineNs = 0;
    --FSetup;
    ++FServed;
    return CheckHoldProgress();
  }
  if (MayStartMore()) {
    SendLine(ASlot);
  } else {
    Release(ASlot);
  }
}

void TLoadGenerator::Succeed(size_t ASlot) {
  const uint64_t Now = NowNs();
  FLatencyNs.push_back(Now - FSlots[ASlot].StartNs);
  ++FOk;
  FLastDoneNs = FLastOkNs = Now;
  Release(ASlot);
}

void TLoadGenerator::FailWithErrno(size_t ASlot, int AError) {
  switch (AError) {
  case ECONNREFUSED:
    return Fail(ASlot, fkRefused);
  case ECONNRESET:
  case EPIPE:
    return Fail(ASlot, fkReset);
  case ETIMEDOUT:
    return Fail(ASlot, fkTimeout);
  default:
    return Fail(ASlot, fkOther);
  }
}

void TLoadGenerator::Fail(size_t ASlot, TFailKind AKind) {
  ++FFailures[AKind];
  FLastDoneNs = NowNs();
  if (FOptions.Mode != TLoadMode::lmHold) return Release(ASlot);
  TSlot& S = FSlots[ASlot];
  if (S.State == TSlotState::ssIdle)
    --FServed;
  else
    --FSetup;
  if (S.Fd >= 0) {
    close(S.Fd);
    S.Fd = -1;
    --FBusy;
  }
  S.State = TSlotState::ssDone;
  CheckHoldProgress();
}

void TLoadGenerator::Release(size_t ASlot) {
  TSlot& S = FSlots[ASlot];
  if (S.Fd >= 0) {
    close(S.Fd);
    S.Fd = -1;
    --FBusy;
  }
  S.State = TSlotState::ssFree;
  FFree.push_back(ASlot);
}

void TLoadGenerator::CheckTimeouts(uint64_t ANow) {
  for (size_t I = 0; I < FSlots.size(); ++I) {
    const TSlot& S = FSlots[I];
    if (S.Fd >= 0 && S.DeadlineNs != 0 && ANow > S.DeadlineNs) Fail(I, fkTimeout);
  }
}

void TLoadGenerator::CheckHoldProgress() {
  if (FReadyPrinted || FSetup != 0 || FStarted < FOptions.Concurrency) return;
  FReadyPrinted = true;
  FReadyNs = NowNs();
  std::printf("ready=%zu ready_ms=%s\n", FServed,
              Fixed(double(FReadyNs - FStartNs) / 1e6, 1).c_str());
  std::fflush(stdout);
}

bool TLoadGenerator::Finished(uint64_t ANow) {
  const bool Signalled = StopRequested();
  // Hold 0: leave as soon as every connection was served (or failed), without holding them.
  if (FOptions.Mode == TLoadMode::lmHold)
    return Signalled || (FReadyPrinted && (FBusy == 0 || FOptions.HoldS == 0)) ||
           (FOptions.HoldS > 0 && double(ANow - FStartNs) / 1e9 > FOptions.HoldS);
  if (!FStopping &&
      (Signalled || (FOptions.Count == 0 && double(ANow - FStartNs) / 1e9 >= FOptions.DurationS))) {
    FStopping = true;
    FStopNs = ANow;
  }
  if (FOptions.Count != 0 && FStarted >= FOptions.Count) FStopping = true;
  return FStopping && FBusy == 0;
}

void TLoadGenerator::Run() {
  const double CpuBefore = CpuSeconds();
  FStartNs = NowNs();
  uint64_t LastScan = FStartNs;
  epoll_event Events[256];
  while (!Finished(NowNs())) {
    StartConnections();
    int Count = epoll_wait(FEpoll, Events, 256, 5);
    for (int I = 0; I < Count; ++I)
      OnEvent(size_t(Events[I].data.u64), Events[I].events);
    const uint64_t Now = NowNs();
    if (Now - LastScan >= KScanIntervalNs) {
      CheckTimeouts(Now);
      LastScan = Now;
    }
  }
  if (FLastDoneNs < FStartNs) FLastDoneNs = NowNs();
  FCpuS = CpuSeconds() - CpuBefore;
}

std::string TLoadGenerator::Report() const {
  std::vector<uint64_t> Sorted(FLatencyNs);
  std::sort(Sorted.begin(), Sorted.end());
  // The rate runs to the last success: connections stuck until their timeout after the load
  // stopped would otherwise stretch it.
  const double Elapsed = double((FOk ? FLastOkNs : FLastDoneNs) - FStartNs) / 1e9;
  std::string Out = std::string("mode=") + KModeNames[int(FOptions.Mode)] +
                    " conc=" + std::to_string(FOptions.Concurrency) +
                    " elapsed_s=" + Fixed(Elapsed, 3) + " ok=" + std::to_string(FOk) +
                    " rate=" + Fixed(Elapsed > 0 ? double(FOk) / Elapsed : 0, 1);
  for (int K = 0; K < fkKindCount; ++K)
    Out += std::string(" ") + KFailNames[K] + "=" + std::to_string(FFailures[K]);
  Out += " p50_us=" + PercentileUs(Sorted, 0.50) + " p90_us=" + PercentileUs(Sorted, 0.90) +
         " p99_us=" + PercentileUs(Sorted, 0.99) +
         " max_us=" + (Sorted.empty() ? "0" : Fixed(double(Sorted.back()) / 1000.0, 1)) +
         " client_cpu_s=" + Fixed(FCpuS, 3);
  if (FOptions.Mode == TLoadMode::lmHold)
    Out += " ready=" + std::to_string(FReadyPrinted ? FOk : 0) +
           " ready_ms=" + Fixed(FReadyPrinted ? double(FReadyNs - FStartNs) / 1e6 : -1, 1) +
           " closed_by_peer=" + std::to_string(FClosedByPeer) + " close_spread_ms=" +
           Fixed(FClosedByPeer ? double(FLastDoneNs - FFirstCloseNs) / 1e6 : 0, 1);
  return Out;
}

} // namespace Id::Bench
