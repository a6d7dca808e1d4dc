// SPDX-License-Identifier: MIT
// The scripted proxy of the SOCKS tests: it checks the exact request bytes and answers what a
// case needs, on a real socket on 127.0.0.1 with a port chosen by the system, served by a real
// thread.
#pragma once

#include <dirent.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/RawPeer.h"
#include "support/WaitFor.h"

namespace IdTest {

/// A byte string from small integers, for wire layouts.
inline std::string Bytes(std::initializer_list<int> AValues) {
  std::string Result;
  for (int V : AValues)
    Result += static_cast<char>(V);
  return Result;
}

/// Bytes as space-separated hex pairs, so that a failed comparison shows the difference.
inline std::string Hex(const std::string& ABytes) {
  std::string Result;
  char Pair[4];
  for (unsigned char C : ABytes) {
    std::snprintf(Pair, sizeof(Pair), Result.empty() ? "%02x" : " %02x", C);
    Result += Pair;
  }
  return Result;
}

/// A one-client SOCKS proxy that follows a script. Build the script, Start(), let the client
/// talk to Port(), then read Received(). An expectation that is not met (other bytes, or too
/// few before 10 s) ends the script at once with an orderly close, so the client never gets an
/// answer to a request it should not have sent.
class TScriptedProxy {
public:
  ~TScriptedProxy() { Finish(); }

  int32_t Port() const noexcept { return FListener.Port(); }

  /// Reads exactly ABytes.size() bytes and requires them to equal ABytes.
  TScriptedProxy& Expect(std::string ABytes) { return Add(TKind::Expect, std::move(ABytes)); }
  /// Sends ABytes in one send call.
  TScriptedProxy& Reply(std::string ABytes) { return Add(TKind::Reply, std::move(ABytes)); }
  /// Sends ABytes one byte at a time, each only after the client has taken the one before from
  /// its socket, so that every receive of the client sees a single byte.
  TScriptedProxy& ReplyByteByByte(std::string ABytes) {
    return Add(TKind::ReplyByteByByte, std::move(ABytes));
  }
  /// Closes the connection in order (FIN) here; the script ends.
  TScriptedProxy& Close() { return Add(TKind::Close, {}); }
  /// Resets the connection (RST) here; the script ends.
  TScriptedProxy& Reset() { return Add(TKind::Reset, {}); }
  /// From here on, sends back whatever arrives, until the client closes.
  TScriptedProxy& Echo() { return Add(TKind::Echo, {}); }

  /// Accepts one client on a thread of its own and runs the script. After the last step it
  /// records what else arrives until the client closes.
  void Start() {
    FThread = std::thread([this] { Run(); });
  }
  /// Waits (10 s at most) for the client to close and the script to end; all bytes received.
  const std::string& Received() {
    Finish();
    return FReceived;
  }
  /// True when an expectation failed; valid after Received().
  bool Mismatch() {
    Finish();
    return FMismatch;
  }

private:
  enum class TKind { Expect, Reply, ReplyByteByByte, Close, Reset, Echo };
  struct TStep {
    TKind Kind;
    std::string Bytes;
  };

  TScriptedProxy& Add(TKind AKind, std::string ABytes) {
    FSteps.push_back({AKind, std::move(ABytes)});
    return *this;
  }

  void Finish() {
    if (FThread.joinable()) FThread.join();
  }

  void Run() {
    TRawPeer Peer = FListener.Accept();
    if (!Peer.IsOpen()) return;
    for (const TStep& Step : FSteps)
      if (!RunStep(Peer, Step)) return;
    FReceived += Peer.ReadUntilClosed();
  }

  // False when the script ends here.
  bool RunStep(TRawPeer& APeer, const TStep& AStep) {
    switch (AStep.Kind) {
    case TKind::Expect: {
      const std::string Got = APeer.Receive(AStep.Bytes.size());
      FReceived += Got;
      FMismatch = Got != AStep.Bytes;
      return !FMismatch;
    }
    case TKind::Reply:
      return APeer.Send(AStep.Bytes);
    case TKind::ReplyByteByByte:
      return SendByteByByte(APeer, AStep.Bytes);
    case TKind::Close:
      APeer.Close();
      return false;
    case TKind::Reset:
      APeer.Reset();
      return false;
    case TKind::Echo:
      EchoUntilClosed(APeer);
      return false;
    }
    return false;
  }

  void EchoUntilClosed(TRawPeer& APeer) {
    for (;;) {
      const std::string Chunk = APeer.ReceiveSome();
      if (Chunk.empty() || !APeer.Send(Chunk)) return;
      FReceived += Chunk;
    }
  }

  bool SendByteByByte(const TRawPeer& APeer, const std::string& ABytes) {
    const int Client = FindClientEnd(APeer.Fd());
    if (Client < 0) return false;
    for (char C : ABytes) {
      if (!APeer.Send(std::string(1, C))) return false;
      // Unacknowledged bytes gone means they are in the client's queue or already taken; an
      // empty queue then means the client's receive has taken them.
      const bool Taken = WaitFor(
          [&] { return Queued(APeer.Fd(), SIOCOUTQ) == 0 && Queued(Client, FIONREAD) == 0; },
          FactLimit);
      if (!Taken) return false;
    }
    return true;
  }

  static int Queued(int ADescriptor, unsigned long ARequest) {
    int Count = -1;
    return ::ioctl(ADescriptor, ARequest, &Count) == 0 ? Count : -1;
  }

  // The client's socket lives in this process: the descriptor whose two ends are this peer's,
  // swapped.
  static int FindClientEnd(int APeer) {
    sockaddr_in Local{}, Remote{};
    socklen_t Length = sizeof(Local);
    ::getsockname(APeer, (sockaddr*)&Local, &Length);
    Length = sizeof(Remote);
    ::getpeername(APeer, (sockaddr*)&Remote, &Length);
    DIR* Fds = ::opendir("/proc/self/fd");
    int Found = -1;
    while (dirent* Entry = Fds ? ::readdir(Fds) : nullptr) {
      const int Fd = std::atoi(Entry->d_name);
      sockaddr_in ItsLocal{}, ItsRemote{};
      socklen_t L1 = sizeof(ItsLocal), L2 = sizeof(ItsRemote);
      if (Fd == APeer || Entry->d_name[0] < '0' || Entry->d_name[0] > '9') continue;
      if (::getsockname(Fd, (sockaddr*)&ItsLocal, &L1) != 0 || L1 != sizeof(ItsLocal) ||
          ::getpeername(Fd, (sockaddr*)&ItsRemote, &L2) != 0)
        continue;
      if (SameEnd(ItsLocal, Remote) && SameEnd(ItsRemote, Local)) Found = Fd;
    }
    if (Fds) ::closedir(Fds);
    return Found;
  }

  static bool SameEnd(const sockaddr_in& A, const sockaddr_in& B) {
    return A.sin_family == B.sin_family && A.sin_port == B.sin_port &&
           A.sin_addr.s_addr == B.sin_addr.s_addr;
  }

  TRawListener FListener;
  std::vector<TStep> FSteps;
  std::thread FThread;
  std::string FReceived; // written by the proxy thread until it ends
  bool FMismatch = false;
};

} // namespace IdTest
