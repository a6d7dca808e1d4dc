// SPDX-License-Identifier: MIT
// The service manager's protocols: sockets handed over by systemd-socket-activate to a small
// service of the tests (named, IPv4 and IPv6, the variables gone afterwards; other kinds of
// socket refused), the variables checked in this process, and the notifications as datagrams
// on a private NOTIFY_SOCKET (a path and an abstract name). A server's bindings take the handed
// socket of their name or address, and the server tells its readiness, its keep-alive while its
// listeners run, and its stop.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "idframework/core/IdException.h"
#include "idframework/server/IdSystemd.h"
#include "idframework/server/detail/IdActivatedBindings.h"
#include "server/ServerTestSupport.h"
#include "server/ServiceManager.h"
#include "support/ChildProcess.h"

using namespace Id;
using namespace IdTest;

namespace {

const std::string SocketActivate = "/usr/bin/systemd-socket-activate";

std::string ErrorOf(const std::function<void()>& ACall) {
  try {
    ACall();
  } catch (const EIdException& E) {
    return E.Message();
  }
  return "no error";
}

} // namespace

TEST(Systemd, ActivationHandsOverNamedSockets) {
  if (!IsProgram(SocketActivate)) GTEST_SKIP() << "systemd-socket-activate is not installed";
  TTempDir Dir;
  TNotifyListener Manager(Dir.File("notify"));
  TChildProcess Service;
  int32_t Port = 0;
  for (int Try = 0; Try < 3 && Port == 0; ++Try) {
    const std::string Text = std::to_string(RecentlyFreeLoopbackPort());
    Service.Start({SocketActivate, "-l", "127.0.0.1:" + Text, "-l", "[::1]:" + Text,
                   "--fdname=web:web6", "-E", "NOTIFY_SOCKET", ID_ACTIVATED_SERVER},
                  Dir.File("log"));
    Port = Service.WaitForListeningPort(std::stoi(Text));
  }
  ASSERT_NE(Port, 0) << Service.Log();
  // The service starts with the first client, and answers it.
  EXPECT_EQ(TRawPeer(Port).ReadUntilClosed(), "test");
  EXPECT_EQ(Service.Wait(), 0) << Service.Log();
  const std::string P = std::to_string(Port);
  EXPECT_NE(Service.Log().find("socket 3 web 127.0.0.1 " + P + "\nsocket 4 web6 ::1 " + P +
                               "\nLISTEN_FDS unset\n"),
            std::string::npos)
      << Service.Log();
  EXPECT_EQ(Manager.Next(), "READY=1");
  EXPECT_EQ(Manager.Next(), "STOPPING=1");
}

TEST(Systemd, ActivationRefusesOtherSockets) {
  if (!IsProgram(SocketActivate)) GTEST_SKIP() << "systemd-socket-activate is not installed";
  TTempDir Dir;
  TChildProcess Service;
  ASSERT_TRUE(Service.Start({SocketActivate, "-l", Dir.File("unix"), ID_ACTIVATED_SERVER},
                            Dir.File("log")));
  ASSERT_TRUE(WaitFor([&] { return Service.Log().find("Listening") != std::string::npos; }));
  const int Client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un Address{};
  Address.sun_family = AF_UNIX;
  std::strcpy(Address.sun_path, Dir.File("unix").c_str());
  ::connect(Client, reinterpret_cast<sockaddr*>(&Address), sizeof(Address));
  EXPECT_EQ(Service.Wait(), 1);
  ::close(Client);
  EXPECT_NE(Service.Log().find(
                "error Descriptor 3 from the service manager is not a listening TCP socket."),
            std::string::npos)
      << Service.Log();
}

TEST(Systemd, ActivationVariablesOfOtherProcessesOrInvalid) {
  const std::string Self = std::to_string(::getpid());
  ::setenv("LISTEN_PID", std::to_string(::getpid() + 1).c_str(), 1);
  ::setenv("LISTEN_FDS", "1", 1);
  EXPECT_TRUE(TakeActivatedSockets().empty());
  EXPECT_EQ(std::getenv("LISTEN_FDS"), nullptr);
  ::setenv("LISTEN_PID", Self.c_str(), 1);
  ::setenv("LISTEN_FDS", "1x", 1);
  EXPECT_EQ(ErrorOf([] { TakeActivatedSockets(); }),
            "Invalid LISTEN_FDS from the service manager.");
  ::setenv("LISTEN_PID", Self.c_str(), 1);
  ::setenv("LISTEN_FDS", "2", 1);
  ::setenv("LISTEN_FDNAMES", "one", 1);
  EXPECT_EQ(ErrorOf([] { TakeActivatedSockets(); }),
            "Invalid LISTEN_FDNAMES from the service manager.");
}

TEST(Systemd, NotificationsAsDatagrams) {
  EXPECT_FALSE(NotifyReady()); // no service manager
  TTempDir Dir;
  {
    TNotifyListener Manager(Dir.File("notify"));
    EXPECT_TRUE(NotifyReady());
    EXPECT_EQ(Manager.Next(), "READY=1");
  }
  {
    TNotifyListener Manager("@id-test-notify-" + std::to_string(::getpid()));
    EXPECT_TRUE(NotifyWatchdog());
    EXPECT_EQ(Manager.Next(), "WATCHDOG=1");
  }
  ::setenv("NOTIFY_SOCKET", "relative", 1);
  EXPECT_EQ(ErrorOf([] { NotifyStopping(); }), "Invalid NOTIFY_SOCKET \"relative\".");
  ::setenv("NOTIFY_SOCKET", Dir.File("nobody").c_str(), 1);
  EXPECT_THROW(NotifyStopping(), EIdSocketError);
  ::unsetenv("NOTIFY_SOCKET");
}

TEST(Systemd, WatchdogInterval) {
  EXPECT_EQ(WatchdogInterval(), 0);
  ::setenv("WATCHDOG_USEC", "30000000", 1);
  EXPECT_EQ(WatchdogInterval(), 30000000);
  ::setenv("WATCHDOG_PID", std::to_string(::getpid() + 1).c_str(), 1);
  EXPECT_EQ(WatchdogInterval(), 0);
  ::unsetenv("WATCHDOG_PID");
  ::unsetenv("WATCHDOG_USEC");
}

TEST(Systemd, BindingsTakeTheHandedSocketOfTheirNameElseOfTheirAddress) {
  TIdStackUse Use;
  TIdActivatedSockets Handed;
  for (const char* Name : {"web", "admin"}) {
    const Raw::TFd Fd = Raw::Socket();
    ASSERT_TRUE(Raw::Listen(Fd, 0, 5));
    int32_t Family = 0, Port = 0;
    std::string IP;
    Handed.emplace_back(GlobalStack()->SockAdoptListening(Fd, Family, IP, Port), Name, false, IP,
                        Port);
  }
  TIdSocketHandle Named, ByAddress, AnyAddress;
  Named.SetActivationName("admin");
  ASSERT_TRUE(AdoptHandedSocket(Named, Handed));
  EXPECT_EQ(Named.Port(), Handed[1].Port());
  ByAddress.SetIP("127.0.0.1");
  ByAddress.SetPort(Handed[0].Port());
  ASSERT_TRUE(AdoptHandedSocket(ByAddress, Handed));
  EXPECT_TRUE(ByAddress.IsShared());
  AnyAddress.SetPort(Handed[0].Port());
  EXPECT_FALSE(AdoptHandedSocket(AnyAddress, Handed));
  EXPECT_FALSE(AnyAddress.IsAllocated());
}

TEST(Systemd, AServerTellsItIsReadyAliveWhileItsListenersRunAndStopping) {
  TTempDir Dir;
  TNotifyListener Manager(Dir.File("notify"));
  ::setenv("WATCHDOG_USEC", "100000", 1); // a keep-alive every 50 ms
  TIdTCPServer Server(nullptr);
  Server.SetServiceNotifications(true);
  StartOnLoopback(Server);
  ::unsetenv("WATCHDOG_USEC");
  EXPECT_EQ(Manager.Next(), "READY=1");
  EXPECT_EQ(Manager.Next(), "WATCHDOG=1");
  EXPECT_EQ(Manager.Next(), "WATCHDOG=1");
  // A listener that ends by itself leaves a server that cannot serve: no keep-alive any more.
  Server.Bindings().Items(0)->CloseDescriptor();
  int LateKeepAlives = 0;
  while (Manager.Next(500) == "WATCHDOG=1")
    ASSERT_LT(++LateKeepAlives, 20);
  Server.SetActive(false);
  EXPECT_EQ(Manager.Next(), "STOPPING=1");
}

TEST(Systemd, TheExampleUnitsAreValid) {
#ifndef ID_LINESERVER
  GTEST_SKIP() << "the examples are not built";
#else
  const std::string Analyze = "/usr/bin/systemd-analyze";
  if (!IsProgram(Analyze)) GTEST_SKIP() << "systemd-analyze is not installed";
  TTempDir Dir;
  for (const std::string Unit : {"lineserver@.socket", "lineserver@.service"}) {
    std::string Text = ReadTextFile(std::string(ID_EXAMPLES_DIR) + "/systemd/" + Unit);
    const size_t Program = Text.find("/usr/local/bin/lineserver");
    if (Program != std::string::npos) Text.replace(Program, 25, ID_LINESERVER);
    WriteTextFile(Dir.File(Unit), Text);
  }
  // It ignores what it cannot use, with a word on it.
  EXPECT_EQ(RunToEnd({Analyze, "verify", "--man=no", Dir.File("lineserver@7001.socket"),
                      Dir.File("lineserver@7001.service")},
                     Dir.File("log")),
            0);
  EXPECT_EQ(ReadTextFile(Dir.File("log")), "");
#endif
}
