// SPDX-License-Identifier: MIT
// Hostile clients against the server's time limits, in one process: a TIdTCPServer on 127.0.0.1
// that echoes every line, with LineTimeout and WriteTimeout of --timeout-ms, and, connected all
// at once and driven by one epoll thread,
//   - --nonreaders clients that send lines of --line-bytes as fast as they can and never read
//     the echoes, until the server's sends block (its send buffers grow to some MiB first),
//   - --drippers clients that, once every non-reader's echo is blocked, send one byte of a line
//     every --drip-ms and never end it.
// The hold begins when the drippers begin; during it, another thread connects --fresh clients
// one after the other, spread over the hold, each timing its connect to the echo of one line.
//
// A hostile connection's time to its cut: a dripper's from its first byte (where its line
// began), a non-reader's from the start of the server's last send (the one that blocked: its
// last progress), both also from the connect. In time: cut at most --timeout-ms plus --slack-ms
// after that. Prints one line of key=value facts, the server's counters included; pass=1 when
// every hostile connection was cut in time and every fresh client got its echo within
// --fresh-limit-ms while all the hostile ones were held.
//
//   hostile_clients [--drippers 100] [--nonreaders 100] [--timeout-ms 2000] [--slack-ms 500]
//                   [--drip-ms 1500] [--line-bytes 1000] [--fresh 20] [--fresh-limit-ms 10]
//                   [--limit-s 10] [--server-cpu N] [--client-cpu N] [--backlog 1024]

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/IdBenchServer.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdTCPServer.h"

namespace Id::Bench {
namespace {

constexpr uint64_t KMs = 1000000;
constexpr int KClientBufferBytes = 4096;  // a non-reader's socket buffers: they fill quickly
constexpr uint64_t KBlockedNs = 20 * KMs; // a server send this old has blocked

// The server's last send on each connection, by the client's port: written by the peer threads,
// read by the hostile clients' thread.
struct TServerSend {
  std::atomic<uint64_t> StartNs{0};
  std::atomic<bool> Busy{false};
};

struct THostilePlan {
  int Drippers = 100;
  int NonReaders = 100;
  int TimeoutMs = 2000;
  int SlackMs = 500;
  int DripMs = 1500;
  int LineBytes = 16000;
  int Fresh = 20;
  double FreshLimitMs = 10;
  double LimitS = 10;
  int ServerCpu = -1;
  int ClientCpu = -1;
};

THostilePlan ParsePlan(const TBenchArgs& AArgs) {
  THostilePlan Plan;
  Plan.Drippers = int(AArgs.Int("drippers", Plan.Drippers));
  Plan.NonReaders = int(AArgs.Int("nonreaders", Plan.NonReaders));
  Plan.TimeoutMs = int(AArgs.Int("timeout-ms", Plan.TimeoutMs));
  Plan.SlackMs = int(AArgs.Int("slack-ms", Plan.SlackMs));
  Plan.DripMs = int(AArgs.Int("drip-ms", Plan.DripMs));
  Plan.LineBytes = int(AArgs.Int("line-bytes", Plan.LineBytes));
  Plan.Fresh = int(AArgs.Int("fresh", Plan.Fresh));
  Plan.FreshLimitMs = AArgs.Real("fresh-limit-ms", Plan.FreshLimitMs);
  Plan.LimitS = AArgs.Real("limit-s", Plan.LimitS);
  Plan.ServerCpu = int(AArgs.Int("server-cpu", -1));
  Plan.ClientCpu = int(AArgs.Int("client-cpu", -1));
  if (Plan.Drippers < 0 || Plan.NonReaders < 0 || Plan.Drippers + Plan.NonReaders == 0)
    throw std::runtime_error("no hostile clients");
  if (Plan.TimeoutMs < 100 || Plan.DripMs < 1 || Plan.Fresh < 0)
    throw std::runtime_error("--timeout-ms below 100, or --drip-ms, --fresh off");
  if (Plan.LineBytes < 3 || Plan.LineBytes > 16384)
    throw std::runtime_error("--line-bytes: 3 .. 16384 (the server's longest line)");
  if (Plan.LimitS <= 0 || Plan.LimitS > 120) throw std::runtime_error("--limit-s: 0 .. 120");
  return Plan;
}

enum class THostileKind { hkDripper, hkNonReader };

struct THostile {
  THostileKind Kind = THostileKind::hkDripper;
  int Fd = -1;
  int Port = 0; // the client's own
  bool Connected = false;
  bool Failed = false; // the connect failed, or a dripper got bytes back
  uint64_t ConnectNs = 0;
  uint64_t FirstByteNs = 0; // dripper: its line began
  uint64_t NextDripNs = 0;
  uint64_t ProgressNs = 0; // non-reader: the start of the server's last send
  uint64_t Offset = 0;     // non-reader: bytes of the line stream sent
  uint64_t CutNs = 0;      // 0: not cut
  /// Where the time to the cut runs from.
  uint64_t From() const {
    if (Kind == THostileKind::hkNonReader) return ProgressNs;
    return FirstByteNs != 0 ? FirstByteNs : ConnectNs;
  }
};

// The hostile clients: one epoll loop on its own thread. The fresh clients read Held,
// HoldStartNs and HoldEndNs.
class THostileClients {
public:
  THostileClients(const THostilePlan& APlan, int APort, const TServerSend* ASends)
      : FPlan(APlan), FPort(APort), FSends(ASends) {
    FEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (FEpoll < 0) throw std::runtime_error("epoll_create1 failed");
    const std::string Line = std::string(size_t(APlan.LineBytes) - 2, 'x') + "\r\n";
    for (int I = 0; I < 16; ++I)
      FLines += Line;
  }
  ~THostileClients() {
    for (THostile& H : FClients)
      if (H.Fd >= 0) close(H.Fd);
    close(FEpoll);
  }
  THostileClients(const THostileClients&) = delete;
  THostileClients& operator=(const THostileClients&) = delete;

  void Run();
  const std::vector<THostile>& Clients() const { return FClients; }
  /// Hostile connections established and not yet cut.
  int Held() const { return FHeld.load(); }
  /// When the drippers began (all connected, every non-reader blocked); 0 until then.
  uint64_t HoldStartNs() const { return FHoldStartNs.load(); }
  /// When the first cut is due (set with HoldStartNs).
  uint64_t HoldEndNs() const { return FHoldEndNs.load(); }
  bool Over() const { return FOver.load(); }

private:
  void Open(THostileKind AKind);
  void Watch(size_t AIndex, uint32_t AEvents, int AOp);
  void OnEvent(size_t AIndex, uint32_t AEvents);
  void OnConnected(size_t AIndex);
  void Drip(size_t AIndex);
  void Pump(size_t AIndex);
  void Cut(size_t AIndex, bool AFailed = false);
  void Scan(uint64_t ANow);
  void StartHoldWhenBlocked(uint64_t ANow);
  bool AllCut() const { return FCut == FClients.size(); }

  THostilePlan FPlan;
  int FPort;
  const TServerSend* FSends;
  int FEpoll = -1;
  std::string FLines; // whole lines, so any offset modulo a line continues the stream
  std::vector<THostile> FClients;
  size_t FCut = 0;
  size_t FEstablished = 0;
  std::atomic<int> FHeld{0};
  std::atomic<uint64_t> FHoldStartNs{0};
  std::atomic<uint64_t> FHoldEndNs{0};
  std::atomic<bool> FOver{false};
};

void THostileClients::Watch(size_t AIndex, uint32_t AEvents, int AOp) {
  epoll_event Event{};
  Event.events = AEvents;
  Event.data.u64 = AIndex;
  if (epoll_ctl(FEpoll, AOp, FClients[AIndex].Fd, &Event) != 0) Cut(AIndex, true);
}

void THostileClients::Open(THostileKind AKind) {
  FClients.push_back(THostile{});
  const size_t Index = FClients.size() - 1;
  THostile& H = FClients[Index];
  H.Kind = AKind;
  H.ConnectNs = NowNs();
  H.Fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (H.Fd < 0) return Cut(Index, true);
  const int One = 1;
  setsockopt(H.Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof(One));
  if (AKind == THostileKind::hkNonReader) {
    setsockopt(H.Fd, SOL_SOCKET, SO_RCVBUF, &KClientBufferBytes, sizeof(KClientBufferBytes));
    setsockopt(H.Fd, SOL_SOCKET, SO_SNDBUF, &KClientBufferBytes, sizeof(KClientBufferBytes));
  }
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_port = htons(uint16_t(FPort));
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(H.Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)) != 0 && errno != EINPROGRESS)
    return Cut(Index, true);
  H.Port = LocalPort(H.Fd);
  Watch(Index, EPOLLOUT, EPOLL_CTL_ADD);
}

void THostileClients::Cut(size_t AIndex, bool AFailed) {
  THostile& H = FClients[AIndex];
  if (H.CutNs != 0) return;
  H.CutNs = NowNs();
  // A dripper cut before its line began was not cut by the line's limit.
  H.Failed = H.Failed || AFailed || (H.Kind == THostileKind::hkDripper && H.FirstByteNs == 0);
  // The server's send ended before the cut: its start is final.
  if (H.Kind == THostileKind::hkNonReader && H.Port != 0)
    H.ProgressNs = std::max(H.ProgressNs, FSends[H.Port].StartNs.load());
  if (H.Connected) --FHeld;
  if (H.Fd >= 0) close(H.Fd); // also leaves the epoll set
  H.Fd = -1;
  ++FCut;
}

void THostileClients::OnConnected(size_t AIndex) {
  THostile& H = FClients[AIndex];
  int Error = 0;
  socklen_t Len = sizeof(Error);
  getsockopt(H.Fd, SOL_SOCKET, SO_ERROR, &Error, &Len);
  if (Error != 0) return Cut(AIndex, true);
  H.Connected = true;
  ++FHeld;
  ++FEstablished;
  if (H.Kind == THostileKind::hkDripper) return Watch(AIndex, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
  H.ProgressNs = NowNs();
  Watch(AIndex, EPOLLOUT | EPOLLRDHUP, EPOLL_CTL_MOD);
  Pump(AIndex);
}

// Once every connection is up and every non-reader's echo has blocked on the server, the
// drippers begin their lines: the hold.
void THostileClients::StartHoldWhenBlocked(uint64_t ANow) {
  if (FHoldStartNs != 0 || FEstablished + FCut < FClients.size()) return;
  uint64_t FirstBlocked = ANow;
  for (const THostile& H : FClients) {
    if (H.Kind != THostileKind::hkNonReader || H.Fd < 0) continue;
    const TServerSend& Send = FSends[H.Port];
    const uint64_t Start = Send.StartNs.load();
    if (!Send.Busy.load() || ANow - Start < KBlockedNs) return;
    FirstBlocked = std::min(FirstBlocked, Start);
  }
  for (size_t I = 0; I < FClients.size(); ++I) {
    THostile& H = FClients[I];
    if (H.Kind != THostileKind::hkDripper || H.Fd < 0) continue;
    H.FirstByteNs = H.NextDripNs = ANow;
    Drip(I);
  }
  FHoldEndNs = FirstBlocked + uint64_t(FPlan.TimeoutMs) * KMs;
  FHoldStartNs = ANow;
}

// One more byte of the line that never ends.
void THostileClients::Drip(size_t AIndex) {
  THostile& H = FClients[AIndex];
  H.NextDripNs += uint64_t(FPlan.DripMs) * KMs;
  if (send(H.Fd, "x", 1, MSG_NOSIGNAL) < 0 && errno != EAGAIN) Cut(AIndex);
}

// As many lines as the socket takes now.
void THostileClients::Pump(size_t AIndex) {
  THostile& H = FClients[AIndex];
  const size_t LineBytes = size_t(FPlan.LineBytes);
  for (;;) {
    const size_t At = size_t(H.Offset % LineBytes);
    const ssize_t Sent = send(H.Fd, FLines.data() + At, FLines.size() - At, MSG_NOSIGNAL);
    if (Sent > 0) {
      H.Offset += uint64_t(Sent);
      continue;
    }
    if (Sent < 0 && errno == EINTR) continue;
    if (Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    return Cut(AIndex);
  }
}

void THostileClients::OnEvent(size_t AIndex, uint32_t AEvents) {
  THostile& H = FClients[AIndex];
  if (H.Fd < 0) return;
  if (!H.Connected) return OnConnected(AIndex);
  if (H.Kind == THostileKind::hkNonReader) {
    if (AEvents & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) return Cut(AIndex);
    return Pump(AIndex);
  }
  char Buffer[256];
  const ssize_t Got = recv(H.Fd, Buffer, sizeof(Buffer), 0);
  if (Got == 0 || (Got < 0 && errno != EAGAIN && errno != EINTR)) return Cut(AIndex);
  if (Got > 0) H.Failed = true; // an unfinished line has no echo
}

// The hold's start, and the drips that are due.
void THostileClients::Scan(uint64_t ANow) {
  StartHoldWhenBlocked(ANow);
  if (FHoldStartNs == 0) return;
  for (size_t I = 0; I < FClients.size(); ++I) {
    THostile& H = FClients[I];
    if (H.Kind == THostileKind::hkDripper && H.Fd >= 0 && ANow >= H.NextDripNs) Drip(I);
  }
}

void THostileClients::Run() {
  const uint64_t Start = NowNs();
  const uint64_t End = Start + uint64_t(FPlan.LimitS * 1e9);
  for (int I = 0; I < FPlan.Drippers; ++I)
    Open(THostileKind::hkDripper);
  for (int I = 0; I < FPlan.NonReaders; ++I)
    Open(THostileKind::hkNonReader);
  epoll_event Events[256];
  while (!AllCut() && NowNs() < End) {
    const int Count = epoll_wait(FEpoll, Events, 256, 1);
    for (int I = 0; I < Count; ++I)
      OnEvent(size_t(Events[I].data.u64), Events[I].events);
    Scan(NowNs());
  }
  FOver = true;
}

struct TFreshResult {
  double Ms = -1; // connect to echo; -1: failed
  int Held = 0;   // hostile connections held when it began
};

// One fresh client: connect, one line, its echo.
TFreshResult FreshClient(int APort, int AHeld, int ANumber) {
  TFreshResult Result;
  Result.Held = AHeld;
  const uint64_t Start = NowNs();
  int Fd = -1;
  try {
    Fd = ConnectLoopback(APort, 2.0);
  } catch (const std::exception&) {
    return Result;
  }
  const int One = 1;
  setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof(One));
  const std::string Line = "fresh " + std::to_string(ANumber) + "\r\n";
  std::string Echo;
  if (send(Fd, Line.data(), Line.size(), MSG_NOSIGNAL) == ssize_t(Line.size())) {
    char Buffer[256];
    while (Echo.find('\n') == std::string::npos) {
      const ssize_t Got = recv(Fd, Buffer, sizeof(Buffer), 0);
      if (Got <= 0) break;
      Echo.append(Buffer, size_t(Got));
    }
  }
  const uint64_t Done = NowNs();
  close(Fd);
  if (Echo == Line) Result.Ms = double(Done - Start) / 1e6;
  return Result;
}

void SleepUntil(uint64_t ANs) {
  const uint64_t Now = NowNs();
  if (ANs > Now) std::this_thread::sleep_for(std::chrono::nanoseconds(ANs - Now));
}

// The fresh clients, spread from 5% of the time limit into the hold until 10% of it before the
// first cut is due.
std::vector<TFreshResult> RunFresh(const THostilePlan& APlan, int APort,
                                   const THostileClients& AHostile) {
  std::vector<TFreshResult> Results;
  while (AHostile.HoldStartNs() == 0 && !AHostile.Over())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const uint64_t Hold = AHostile.HoldStartNs();
  if (Hold == 0) return Results;
  const uint64_t Tenth = uint64_t(APlan.TimeoutMs) * KMs / 10;
  const uint64_t First = Hold + Tenth / 2;
  const uint64_t Last = AHostile.HoldEndNs() - Tenth;
  const uint64_t Span = Last > First ? Last - First : 0;
  for (int I = 0; I < APlan.Fresh; ++I) {
    SleepUntil(First + (APlan.Fresh > 1 ? Span * uint64_t(I) / uint64_t(APlan.Fresh - 1) : 0));
    Results.push_back(FreshClient(APort, AHostile.Held(), I));
  }
  return Results;
}

double Percentile(std::vector<double> AValues, double AQuantile) {
  if (AValues.empty()) return -1;
  std::sort(AValues.begin(), AValues.end());
  return AValues[std::min(AValues.size() - 1, size_t(AQuantile * double(AValues.size())))];
}

std::string Ms(double AValue) {
  char Text[32];
  std::snprintf(Text, sizeof(Text), "%.1f", AValue);
  return Text;
}

// The facts of one kind of hostile client, under APrefix; true when all were cut in time.
bool ReportKind(std::string& AOut, const std::string& APrefix, THostileKind AKind,
                const std::vector<THostile>& AClients, const THostilePlan& APlan) {
  std::vector<double> FromProgress, FromConnect;
  size_t Total = 0, InTime = 0, Failed = 0;
  for (const THostile& H : AClients) {
    if (H.Kind != AKind) continue;
    ++Total;
    Failed += H.Failed;
    if (H.CutNs == 0 || !H.Connected) continue;
    const double Taken = double(H.CutNs - H.From()) / 1e6;
    FromProgress.push_back(Taken);
    FromConnect.push_back(double(H.CutNs - H.ConnectNs) / 1e6);
    InTime += !H.Failed && Taken <= double(APlan.TimeoutMs + APlan.SlackMs);
  }
  AOut += " " + APrefix + "=" + std::to_string(Total) + " " + APrefix +
          "_cut=" + std::to_string(FromProgress.size()) + " " + APrefix +
          "_in_time=" + std::to_string(InTime) + " " + APrefix +
          "_failed=" + std::to_string(Failed) + " " + APrefix +
          "_min_ms=" + Ms(Percentile(FromProgress, 0)) + " " + APrefix +
          "_p50_ms=" + Ms(Percentile(FromProgress, 0.5)) + " " + APrefix +
          "_max_ms=" + Ms(Percentile(FromProgress, 1)) + " " + APrefix +
          "_connect_max_ms=" + Ms(Percentile(FromConnect, 1));
  return InTime == Total;
}

// The fresh clients' facts; true when each got its echo in time with every hostile one held.
bool ReportFresh(std::string& AOut, const std::vector<TFreshResult>& AFresh,
                 const THostilePlan& APlan) {
  std::vector<double> Times;
  int MinHeld = APlan.Drippers + APlan.NonReaders;
  for (const TFreshResult& F : AFresh) {
    if (F.Ms >= 0) Times.push_back(F.Ms);
    MinHeld = std::min(MinHeld, F.Held);
  }
  const double Max = Percentile(Times, 1);
  AOut += " fresh=" + std::to_string(AFresh.size()) + " fresh_ok=" + std::to_string(Times.size()) +
          " fresh_p50_ms=" + Ms(Percentile(Times, 0.5)) + " fresh_max_ms=" + Ms(Max) +
          " fresh_min_held=" + std::to_string(MinHeld);
  return Times.size() == size_t(APlan.Fresh) && Max <= APlan.FreshLimitMs &&
         MinHeld == APlan.Drippers + APlan.NonReaders;
}

std::string ReportCounters(TIdTCPServer& AServer) {
  const TIdServerCounters C = AServer.Counters();
  return " accepted=" + std::to_string(C.Accepted) +
         " timed_out_line=" + std::to_string(C.TimedOutLine) +
         " timed_out_write=" + std::to_string(C.TimedOutWrite) +
         " timed_out_idle=" + std::to_string(C.TimedOutIdle) +
         " timed_out_read=" + std::to_string(C.TimedOutRead);
}

std::unique_ptr<TIdTCPServer> MakeEchoServer(const THostilePlan& APlan, TServerSend* ASends) {
  auto Server = std::make_unique<TIdTCPServer>(nullptr);
  Server->SetLineTimeout(APlan.TimeoutMs);
  Server->SetWriteTimeout(APlan.TimeoutMs);
  Server->SetListenQueue(1024);
  // Runs on the peer thread of each connection, over and over while it is connected.
  Server->OnExecute = [ASends](TIdPeerThread& AThread) {
    auto& Connection = *AThread.PeerConnection();
    const std::string Line = Connection.ReadLine();
    TServerSend& Send = ASends[Connection.ClientPort() & 0xFFFF];
    Send.StartNs = NowNs();
    Send.Busy = true;
    Connection.WriteLine(Line); // a send that times out raises: Busy stays
    Send.Busy = false;
  };
  return Server;
}

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  const THostilePlan Plan = ParsePlan(Args);
  InstallStopSignal();
  // The listener and the peer threads it starts inherit the server's CPU; the clients move on.
  if (Plan.ServerCpu >= 0) PinToCpu(Plan.ServerCpu);
  auto Sends = std::make_unique<TServerSend[]>(65536);
  std::unique_ptr<TIdTCPServer> Server = MakeEchoServer(Plan, Sends.get());
  StartOnLoopback(*Server, Args); // prints port=N first
  const int Port = Server->Bindings().BindingAt(0)->Port();
  if (Plan.ClientCpu >= 0) PinToCpu(Plan.ClientCpu);
  THostileClients Hostile(Plan, Port, Sends.get());
  const uint64_t Start = NowNs();
  std::thread HostileThread([&Hostile] { Hostile.Run(); });
  std::vector<TFreshResult> Fresh = RunFresh(Plan, Port, Hostile);
  HostileThread.join();
  const uint64_t Hold = Hostile.HoldStartNs();
  std::string Out = "mode=hostile timeout_ms=" + std::to_string(Plan.TimeoutMs) +
                    " deadline_ms=" + std::to_string(Plan.TimeoutMs + Plan.SlackMs) +
                    " blocked_after_ms=" + Ms(Hold ? double(Hold - Start) / 1e6 : -1) +
                    " hold_ms=" + Ms(Hold ? double(Hostile.HoldEndNs() - Hold) / 1e6 : -1);
  bool Pass = ReportKind(Out, "drippers", THostileKind::hkDripper, Hostile.Clients(), Plan);
  Pass = ReportKind(Out, "nonreaders", THostileKind::hkNonReader, Hostile.Clients(), Plan) && Pass;
  Pass = ReportFresh(Out, Fresh, Plan) && Pass;
  Out += ReportCounters(*Server);
  Server->SetActive(false);
  std::printf("%s pass=%d\n", Out.c_str(), Pass ? 1 : 0);
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("hostile_clients", &Id::Bench::Main, argc, argv);
}
