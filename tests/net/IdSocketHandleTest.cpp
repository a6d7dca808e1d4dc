// SPDX-License-Identifier: MIT
// The socket handle: bind rules, listening, accepting, connecting, readability waits.
#include <gtest/gtest.h>

#include <functional>

#include "idframework/core/IdAntiFreezeBase.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/net/detail/IdStackUsers.h"
#include "support/IPv6Loopback.h"
#include "tests/net/NetTestSupport.h"

using namespace Id;

namespace {

class SocketHandle : public testing::Test {
protected:
  TIdStack& S() { return FStack.Stack(); }
  IdTest::TPlatformStack FStack;
};

// The loopback address of a version.
std::string Loopback(TIdIPVersion AVersion) {
  return AVersion == TIdIPVersion::ivIPv6 ? "::1" : "127.0.0.1";
}

// Three consecutive ports on the loopback address, each held by a socket of the test until freed.
class TPortRun {
public:
  explicit TPortRun(TIdStack& AStack, TIdIPVersion AVersion = TIdIPVersion::ivIPv4)
      : FStack(AStack), FVersion(AVersion) {
    for (int Attempt = 0; Attempt < 100 && !Take(); ++Attempt) {
    }
  }
  ~TPortRun() {
    for (int I = 0; I < 3; ++I)
      Free(I);
  }
  int32_t First() const { return FFirst; }
  void Free(int AIndex) {
    if (FHolders[AIndex] == InvalidSocketDescriptor) return;
    FStack.SockClose(FHolders[AIndex]);
    FHolders[AIndex] = InvalidSocketDescriptor;
  }

private:
  bool Take() {
    const int32_t Family = FamilyOf(FVersion);
    FHolders[0] = FStack.NewSocket(Id_SOCK_STREAM, 0, FVersion);
    FStack.CheckSocketResult(FStack.SockBind(FHolders[0], Family, Loopback(FVersion), 0));
    int32_t BoundFamily;
    std::string IP;
    FStack.SockLocalAddress(FHolders[0], BoundFamily, IP, FFirst);
    for (int I = 1; I < 3; ++I) {
      FHolders[I] = FStack.NewSocket(Id_SOCK_STREAM, 0, FVersion);
      if (FStack.SockBind(FHolders[I], Family, Loopback(FVersion), FFirst + I) == 0) continue;
      for (int J = 0; J <= I; ++J)
        Free(J);
      return false;
    }
    return true;
  }

  TIdStack& FStack;
  const TIdIPVersion FVersion;
  int32_t FFirst = 0;
  TIdSocketDescriptor FHolders[3] = {InvalidSocketDescriptor, InvalidSocketDescriptor,
                                     InvalidSocketDescriptor};
};

// A handle on the loopback address whose bind uses the range [AMin, AMax] and port APort.
void PrepareBind(TIdSocketHandle& H, int32_t APort, int32_t AMin, int32_t AMax,
                 TIdIPVersion AVersion = TIdIPVersion::ivIPv4) {
  H.SetIPVersion(AVersion);
  H.OpenSocket();
  H.SetIP(Loopback(AVersion));
  H.SetPort(APort);
  H.SetClientPortMin(AMin);
  H.SetClientPortMax(AMax);
}

// A listening handle on the loopback address with a platform-chosen port.
void StartListener(TIdSocketHandle& L, TIdIPVersion AVersion = TIdIPVersion::ivIPv4) {
  L.SetIPVersion(AVersion);
  L.OpenSocket();
  L.SetIP(Loopback(AVersion));
  L.BindLocal();
  L.StartListening(15);
}

class TScriptedAntiFreeze : public TIdAntiFreezeBase {
public:
  using TIdAntiFreezeBase::TIdAntiFreezeBase;
  void ProcessIdle() override {
    ++Calls;
    if (OnIdle) OnIdle(Calls);
  }
  int Calls = 0;
  std::function<void(int)> OnIdle;
};

} // namespace

// ------------------------------------------------------------------------------------------
// Construction, collections, assignment

TEST(SocketHandleAlone, KeepsTheStackAliveForItsWholeLife) {
  ASSERT_EQ(GlobalStack(), nullptr) << "no component alive";
  {
    TIdSocketHandle Listener;
    StartListener(Listener);
    EXPECT_NE(Listener.Port(), 0);
    TIdSocketHandle Client;
    Client.OpenSocket();
    Client.SetRemote("127.0.0.1", Listener.Port());
    EXPECT_EQ(Client.ConnectToRemote(), 0);
    TIdSocketHandle Served;
    EXPECT_TRUE(Served.AcceptFrom(Listener));
    EXPECT_EQ(Served.RemotePort(), Client.Port());
  }
  EXPECT_EQ(GlobalStack(), nullptr) << "the last handle freed it";
  EXPECT_EQ(StackUserCount(), 0);
}

TEST_F(SocketHandle, BindingsTakeTheCollectionsDefaultPort) {
  TIdSocketHandles Bindings(nullptr);
  Bindings.SetDefaultPort(100);
  TIdSocketHandle* Added = Bindings.Add();
  EXPECT_EQ(Added->Port(), 100);
  EXPECT_EQ(Added->IP(), "");
  EXPECT_FALSE(Added->IsAllocated());
  EXPECT_EQ(Added->Descriptor(), InvalidSocketDescriptor);
  Bindings.SetDefaultPort(200);
  EXPECT_EQ(Bindings.AddBinding()->Port(), 200);
  EXPECT_EQ(Bindings.BindingAt(0), Added);
  EXPECT_THROW(Bindings.BindingAt(2), EListError);
  EXPECT_THROW(Bindings.BindingAt(-1), EListError);
  EXPECT_EQ(TIdSocketHandle().Port(), 0);
}

TEST_F(SocketHandle, AssignCopiesTheAddressesButNotTheRange) {
  TIdSocketHandle Source, Target;
  Source.SetIP("1.2.3.4");
  Source.SetPort(80);
  Source.SetRemote("5.6.7.8", 90);
  Source.SetClientPortMin(1000);
  Source.SetClientPortMax(2000);
  Source.SetIPVersion(TIdIPVersion::ivIPv6);
  Source.SetDualStack(true);
  Target.SetClientPortMin(3);
  Target.SetClientPortMax(4);
  Target.Assign(Source);
  EXPECT_EQ(Target.IPVersion(), TIdIPVersion::ivIPv6);
  EXPECT_TRUE(Target.DualStack());
  EXPECT_EQ(Target.IP(), "1.2.3.4");
  EXPECT_EQ(Target.Port(), 80);
  EXPECT_EQ(Target.RemoteIP(), "5.6.7.8");
  EXPECT_EQ(Target.RemotePort(), 90);
  EXPECT_EQ(Target.ClientPortMin(), 3);
  EXPECT_EQ(Target.ClientPortMax(), 4);
  EXPECT_FALSE(Target.IsAllocated());
  TCollectionItem Other(nullptr);
  EXPECT_THROW(Target.Assign(Other), EConvertError);
}

TEST_F(SocketHandle, WholeCollectionsAssignItemByItem) {
  TIdSocketHandles From(nullptr), To(nullptr);
  From.Add()->SetPort(1);
  From.Add()->SetIP("9.9.9.9");
  To.Assign(From);
  ASSERT_EQ(To.Count(), 2);
  EXPECT_EQ(To.BindingAt(0)->Port(), 1);
  EXPECT_EQ(To.BindingAt(1)->IP(), "9.9.9.9");
}

// ------------------------------------------------------------------------------------------
// Bind rules

TEST_F(SocketHandle, PortZeroWithoutRangeTakesThePlatformsPort) {
  TIdSocketHandle H;
  H.OpenSocket();
  H.BindLocal();
  EXPECT_EQ(H.IP(), "0.0.0.0");
  EXPECT_GT(H.Port(), 0);
}

TEST_F(SocketHandle, AFixedPortWinsOverTheRange) {
  TPortRun Taken(S());
  TPortRun Free(S());
  Free.Free(0);
  TIdSocketHandle H;
  PrepareBind(H, Free.First(), Taken.First(), Taken.First() + 2);
  H.BindLocal();
  EXPECT_EQ(H.Port(), Free.First());
}

TEST_F(SocketHandle, ARangeNeedsBothBounds) {
  TIdSocketHandle H;
  PrepareBind(H, 0, 3000, 0);
  H.BindLocal();
  EXPECT_GT(H.Port(), 0);
  EXPECT_EQ(H.IP(), "127.0.0.1");
}

TEST_F(SocketHandle, AFixedPortInUseCannotBind) {
  TPortRun Taken(S());
  TIdSocketHandle H;
  PrepareBind(H, Taken.First(), 0, 0);
  try {
    H.BindLocal();
    FAIL() << "no exception";
  } catch (const EIdCouldNotBindSocket& E) {
    EXPECT_EQ(E.Message(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_TRUE(H.IsAllocated()); // a failed bind leaves the socket for the next OpenSocket
}

TEST_F(SocketHandle, AnInvertedRangeRaisesBeforeAnyBind) {
  TIdSocketHandle H;
  PrepareBind(H, 0, 2000, 1000);
  try {
    H.BindLocal();
    FAIL() << "no exception";
  } catch (const EIdInvalidPortRange& E) {
    EXPECT_EQ(E.Message(), "Invalid Port Range (2000 - 1000)");
  }
  // Still unbound: Linux names the address with port 0; Windows refuses to name an unbound
  // socket's address (10022).
  int32_t Family, Port = -1;
  std::string IP;
  try {
    S().SockLocalAddress(H.Descriptor(), Family, IP, Port);
    EXPECT_EQ(Port, 0);
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), 10022);
  }
  EXPECT_FALSE(H.BindInPortRange());
}

TEST_F(SocketHandle, ARangeWithEveryPortTakenEndsOnItsLowestPort) {
  TPortRun Taken(S());
  const int32_t First = Taken.First();
  TIdSocketHandle H;
  PrepareBind(H, 0, First, First + 2);
  try {
    H.BindLocal();
    FAIL() << "no exception";
  } catch (const EIdCanNotBindPortInRange& E) {
    EXPECT_EQ(E.Message(), "Can not bind in port range (" + std::to_string(First) + " - " +
                               std::to_string(First + 2) + ")");
  }
  EXPECT_EQ(H.Port(), First);
}

TEST_F(SocketHandle, ARangeIsSearchedFromTheTop) {
  for (TIdIPVersion Version : {TIdIPVersion::ivIPv4, TIdIPVersion::ivIPv6}) {
    if (Version == TIdIPVersion::ivIPv6 && !IdTest::HasIPv6Loopback()) continue;
    TPortRun Run(S(), Version);
    const int32_t First = Run.First();
    Run.Free(1);
    TIdSocketHandle Middle;
    PrepareBind(Middle, 0, First, First + 2, Version);
    Middle.BindLocal();
    EXPECT_EQ(Middle.Port(), First + 1);
    Run.Free(0);
    Run.Free(2);
    TIdSocketHandle Top;
    PrepareBind(Top, 0, First, First + 2, Version);
    Top.BindLocal();
    EXPECT_EQ(Top.Port(), First + 2);
    EXPECT_EQ(Top.IP(), Loopback(Version));
  }
}

TEST_F(SocketHandle, OtherBindFailuresAreSocketErrors) {
  TIdSocketHandle H;
  PrepareBind(H, 0, 0, 0);
  H.SetIP("192.0.2.1"); // a documentation address that no interface here has
  try {
    H.BindLocal();
    FAIL() << "no exception";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), 10049);
  }
}

// ------------------------------------------------------------------------------------------
// Listening, accepting, connecting, data

TEST_F(SocketHandle, AcceptAndConnectReadBothBindings) {
  TIdSocketHandle Listener, Client, Served;
  StartListener(Listener);
  Client.OpenSocket();
  Client.SetRemote("127.0.0.1", Listener.Port());
  ASSERT_EQ(Client.ConnectToRemote(), 0);
  EXPECT_EQ(Client.IP(), "127.0.0.1");
  EXPECT_GT(Client.Port(), 0);
  ASSERT_TRUE(Served.AcceptFrom(Listener));
  EXPECT_TRUE(Served.IsAllocated());
  EXPECT_EQ(Served.IP(), "127.0.0.1");
  EXPECT_EQ(Served.Port(), Listener.Port());
  EXPECT_EQ(Served.RemoteIP(), "127.0.0.1");
  EXPECT_EQ(Served.RemotePort(), Client.Port());
  EXPECT_EQ(Served.SendFrom("ping", 4), 4);
  EXPECT_TRUE(Client.WaitReadable(TimeoutInfinite));
  char Buffer[8] = {};
  EXPECT_EQ(Client.ReceiveInto(Buffer, sizeof(Buffer)), 4);
  EXPECT_EQ(std::string(Buffer), "ping");
}

TEST_F(SocketHandle, IPv6BindingsListenAcceptAndConnect) {
  ID_SKIP_WITHOUT_IPV6();
  TIdSocketHandle Listener, Client, Served;
  StartListener(Listener, TIdIPVersion::ivIPv6);
  Client.SetIPVersion(TIdIPVersion::ivIPv6);
  Client.OpenSocket();
  Client.SetRemote("::1", Listener.Port());
  ASSERT_EQ(Client.ConnectToRemote(), 0);
  EXPECT_EQ(Client.IP(), "::1");
  ASSERT_TRUE(Served.AcceptFrom(Listener));
  EXPECT_EQ(Served.IPVersion(), TIdIPVersion::ivIPv6);
  EXPECT_EQ(Served.IP(), "::1");
  EXPECT_EQ(Served.Port(), Listener.Port());
  EXPECT_EQ(Served.RemoteIP(), "::1");
  EXPECT_EQ(Served.RemotePort(), Client.Port());
  EXPECT_EQ(Served.SendFrom("v6", 2), 2);
  char Buffer[2];
  EXPECT_EQ(Client.ReceiveInto(Buffer, 2), 2);
  // A scope that names no interface is refused by the bind.
  TIdSocketHandle Scoped;
  PrepareBind(Scoped, 0, 0, 0, TIdIPVersion::ivIPv6);
  Scoped.SetIP("fe80::1%no-such-interface");
  EXPECT_THROW(Scoped.BindLocal(), EIdSocketError);
}

// Any address of IPv6: dual-stack takes IPv4 clients (seen as IPv4) and so holds the port for
// IPv4 too; IPv6-only leaves the port to an IPv4 binding.
TEST_F(SocketHandle, ADualStackBindingServesIPv4ClientsAnIPv6OnlyOneSharesItsPort) {
  ID_SKIP_WITHOUT_IPV6();
  const auto ListenOnAny = [](TIdSocketHandle& AListener, bool ADual) {
    AListener.SetIPVersion(TIdIPVersion::ivIPv6);
    AListener.SetDualStack(ADual);
    AListener.OpenSocket();
    AListener.BindLocal();
    AListener.StartListening(5);
  };
  // The port the kernel picks for an IPv6-only socket may be held by an IPv4 socket of another
  // test at that moment; an IPv6-only binding that took the IPv4 port would fail every round.
  bool Shared = false;
  for (int Round = 0; Round < 5 && !Shared; ++Round) {
    TIdSocketHandle Listener, IPv4Binding;
    ListenOnAny(Listener, false);
    IPv4Binding.OpenSocket();
    IPv4Binding.SetPort(Listener.Port());
    try {
      IPv4Binding.BindLocal();
      Shared = true;
    } catch (const EIdCouldNotBindSocket&) {
    }
  }
  EXPECT_TRUE(Shared);
  TIdSocketHandle Listener, IPv4Binding;
  ListenOnAny(Listener, true);
  EXPECT_EQ(Listener.IP(), "::");
  IPv4Binding.OpenSocket();
  IPv4Binding.SetPort(Listener.Port());
  EXPECT_THROW(IPv4Binding.BindLocal(), EIdCouldNotBindSocket);
  TIdSocketHandle Client, Served;
  Client.OpenSocket();
  Client.SetRemote("127.0.0.1", Listener.Port());
  ASSERT_EQ(Client.ConnectToRemote(), 0);
  ASSERT_TRUE(Served.AcceptFrom(Listener));
  EXPECT_EQ(Served.RemoteIP(), "127.0.0.1");
  EXPECT_EQ(Served.RemotePort(), Client.Port());
  EXPECT_EQ(Served.IP(), "127.0.0.1");
}

TEST_F(SocketHandle, ARefusedConnectReturnsTheFailureAndReadsNoBinding) {
  TIdSocketHandle Gone;
  StartListener(Gone);
  const int32_t Port = Gone.Port();
  Gone.CloseDescriptor();
  TIdSocketHandle Client;
  Client.OpenSocket();
  Client.SetRemote("127.0.0.1", Port);
  EXPECT_EQ(Client.ConnectToRemote(), -1);
  EXPECT_TRUE(S().CheckSocketResult(-1, {10061}));
  EXPECT_EQ(Client.IP(), "");
  EXPECT_EQ(Client.Port(), 0);
}

TEST_F(SocketHandle, SetOptionRaisesOnFailure) {
  TIdSocketHandle H;
  H.OpenSocket();
  H.SetOption(Id_SOL_SOCKET, Id_SO_REUSEADDR, &OptionTrue, 4);
  EXPECT_THROW(H.SetOption(Id_SOL_SOCKET, 0x7777, &OptionTrue, 4), EIdSocketError);
}

TEST_F(SocketHandle, CloseIsIdempotentAndKeepsTheBinding) {
  TIdSocketHandle H;
  StartListener(H);
  const TIdSocketDescriptor D = H.Descriptor();
  const int32_t Port = H.Port();
  H.CloseDescriptor();
  EXPECT_FALSE(H.IsAllocated());
  EXPECT_EQ(H.Descriptor(), D);
  EXPECT_EQ(H.Port(), Port);
  H.CloseDescriptor();
  EXPECT_FALSE(H.IsAllocated());
  H.OpenSocket(); // a closed handle opens again
  EXPECT_TRUE(H.IsAllocated());
}

TEST_F(SocketHandle, ClearBindingForgetsEverything) {
  TIdSocketHandle H;
  StartListener(H);
  H.SetRemote("1.2.3.4", 5);
  H.ClearBinding(false);
  EXPECT_FALSE(H.IsAllocated());
  EXPECT_EQ(H.Descriptor(), InvalidSocketDescriptor);
  EXPECT_EQ(H.IP(), "127.0.0.1");
  EXPECT_EQ(H.RemoteIP(), "");
  EXPECT_EQ(H.RemotePort(), 0);
  H.ClearBinding(true);
  EXPECT_EQ(H.IP(), "");
  EXPECT_EQ(H.Port(), 0);
}

TEST_F(SocketHandle, AcceptFromAClosedListenerIsNoConnection) {
  TIdSocketHandle Listener, Served;
  StartListener(Listener);
  Listener.CloseDescriptor();
  EXPECT_FALSE(Served.AcceptFrom(Listener));
  EXPECT_FALSE(Served.IsAllocated());
}

// ------------------------------------------------------------------------------------------
// Readability waits

TEST_F(SocketHandle, WaitsOnAClosedHandleEndGracefully) {
  TIdSocketHandle H;
  EXPECT_THROW(H.WaitReadable(0), EIdConnClosedGracefully);
  H.OpenSocket();
  H.CloseDescriptor();
  try {
    H.WaitReadable(TimeoutInfinite);
    FAIL() << "no exception";
  } catch (const EIdConnClosedGracefully& E) {
    EXPECT_EQ(E.Message(), "Connection Closed Gracefully.");
  }
}

TEST_F(SocketHandle, WaitsPollTimeOutAndSeeData) {
  TIdSocketHandle Listener, Client, Served;
  StartListener(Listener);
  Client.OpenSocket();
  Client.SetRemote("127.0.0.1", Listener.Port());
  ASSERT_EQ(Client.ConnectToRemote(), 0);
  EXPECT_TRUE(Listener.WaitReadable(TimeoutInfinite));
  ASSERT_TRUE(Served.AcceptFrom(Listener));
  EXPECT_FALSE(Listener.WaitReadable(0));
  EXPECT_FALSE(Client.WaitReadable(0));
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Client.WaitReadable(50));
  EXPECT_GE(IdTest::ElapsedMs(Start), 40);
  Served.SendFrom("x", 1);
  EXPECT_TRUE(Client.WaitReadable(5000));
}

TEST_F(SocketHandle, AntiFreezeCutsAWaitIntoIdleSlices) {
  TIdSocketHandle Listener, Client;
  StartListener(Listener);
  Client.OpenSocket();
  Client.SetRemote("127.0.0.1", Listener.Port());
  ASSERT_EQ(Client.ConnectToRemote(), 0);
  TScriptedAntiFreeze AntiFreeze(nullptr);
  AntiFreeze.IdleTimeOut = 20;
  // 50 ms become 10, 20 and 20, each followed by one idle step.
  EXPECT_FALSE(Client.WaitReadable(50));
  EXPECT_EQ(AntiFreeze.Calls, 3);
}

TEST_F(SocketHandle, AntiFreezeRepeatsSlicesOfAnEndlessWaitUntilReadable) {
  TIdSocketHandle Listener, Client, Served;
  StartListener(Listener);
  Client.OpenSocket();
  Client.SetRemote("127.0.0.1", Listener.Port());
  ASSERT_EQ(Client.ConnectToRemote(), 0);
  ASSERT_TRUE(Served.AcceptFrom(Listener));
  TScriptedAntiFreeze AntiFreeze(nullptr);
  AntiFreeze.IdleTimeOut = 5;
  AntiFreeze.OnIdle = [&](int ACall) {
    if (ACall == 3) Served.SendFrom("x", 1);
  };
  EXPECT_TRUE(Client.WaitReadable(TimeoutInfinite));
  EXPECT_EQ(AntiFreeze.Calls, 3);
}
