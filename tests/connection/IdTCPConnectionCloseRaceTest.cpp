// SPDX-License-Identifier: MIT
// Closing a connection from another thread at any moment of its owning thread's work, as a
// server does when it stops: nothing may touch freed memory or a stale descriptor, the owning
// thread must end with an exception of the framework, and the close events fire at most once.
// Run under ThreadSanitizer and AddressSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "connection/ConnectionTestSupport.h"
#include "idframework/core/IdException.h"
#include "support/WaitFor.h"

using namespace Id;
using IdTest::TConnectedPair;

namespace {

enum class TOwnerWork { Read, Write, Close };
enum class TCloser { Transport, Connection };

struct TRoundResult {
  bool OwnerEnded = false;
  bool OwnerFailedCleanly = false;
  int Disconnected = 0;
};

// What the owning thread does until the close stops it.
void OwnerWork(TIdTCPConnection& C, TOwnerWork AWork, std::atomic<bool>& AStarted) {
  AStarted = true;
  switch (AWork) {
  case TOwnerWork::Read:
    for (;;)
      C.ReadLine();
  case TOwnerWork::Write: {
    const std::string Block(16384, 'w');
    for (;;)
      C.WriteText(Block);
  }
  case TOwnerWork::Close:
    C.CloseConnection();
    C.ReadLine(); // closed by one of the two: raises
  }
}

TRoundResult RunRound(TOwnerWork AWork, TCloser ACloser, unsigned AJitterUs) {
  TConnectedPair P;
  std::atomic<int> Disconnected{0};
  P.Conn.OnDisconnected = [&](TComponent*) { ++Disconnected; };
  std::atomic<bool> Started{false}, Ended{false}, Clean{false};
  std::thread Owner([&] {
    try {
      OwnerWork(P.Conn, AWork, Started);
    } catch (const EIdException&) {
      Clean = true;
    } catch (...) {
    }
    // The peer thread's own close at the end of its work.
    try {
      P.Conn.CloseConnection();
    } catch (...) {
      Clean = false;
    }
    Ended = true;
  });
  IdTest::WaitFor([&] { return Started.load(); });
  // Jitter only varies where the owner is when the close lands; every landing must be safe.
  std::this_thread::sleep_for(std::chrono::microseconds(AJitterUs));
  if (ACloser == TCloser::Transport)
    P.Conn.CloseTransport();
  else
    P.Conn.CloseConnection();
  TRoundResult R;
  R.OwnerEnded = IdTest::WaitFor([&] { return Ended.load(); }, std::chrono::seconds(10));
  if (!R.OwnerEnded) P.Peer.Reset(); // unblock a stuck owner so that the test can report it
  Owner.join();
  R.OwnerFailedCleanly = Clean;
  R.Disconnected = Disconnected;
  return R;
}

} // namespace

TEST(CloseRace, CloseFromAnotherThreadAtAnyMomentIsSafe) {
  std::mt19937 Random(12345);
  for (int Round = 0; Round < 240; ++Round) {
    const auto Work = static_cast<TOwnerWork>(Round % 3);
    const auto Closer = static_cast<TCloser>((Round / 3) % 2);
    const unsigned Jitter = Random() % 400;
    const TRoundResult R = RunRound(Work, Closer, Jitter);
    ASSERT_TRUE(R.OwnerEnded) << "round " << Round;
    EXPECT_TRUE(R.OwnerFailedCleanly) << "round " << Round;
    EXPECT_LE(R.Disconnected, 1) << "round " << Round;
    // A bare CloseTransport fires nothing; a CloseConnection on an open connection fires once.
    if (Closer == TCloser::Connection) {
      EXPECT_EQ(R.Disconnected, 1) << "round " << Round;
    }
  }
}

TEST(CloseRace, OwnedTransportFreedWhileTheOwnerWaitsInIt) {
  // The closing thread frees the owned transport while the owner is blocked inside it: the
  // transport lives on until the owner has left it.
  for (int Round = 0; Round < 50; ++Round) {
    TConnectedPair P;
    std::atomic<bool> InRead{false}, Done{false};
    std::thread Owner([&] {
      InRead = true;
      try {
        P.Conn.ReadLine();
      } catch (const EIdException&) {
      }
      Done = true;
    });
    IdTest::WaitFor([&] { return InRead.load(); });
    P.Conn.CloseConnection();
    EXPECT_EQ(P.Conn.IOHandler(), nullptr);
    EXPECT_TRUE(IdTest::WaitFor([&] { return Done.load(); }, std::chrono::seconds(10)));
    Owner.join();
    EXPECT_EQ(P.Peer.ReadUntilClosed(), "");
  }
}
