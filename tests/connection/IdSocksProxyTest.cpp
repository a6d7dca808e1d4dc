// SPDX-License-Identifier: MIT
// SOCKS negotiation through real proxies on loopback, each started by the test as its child and
// stopped at its end: danted (SOCKS 4 and 5, user name and password), microsocks (SOCKS 5 with
// user name and password), and OpenSSH dynamic forwarding (SOCKS 4, 4A and 5) over an sshd that
// speaks on a pipe. Behind each proxy is a TIdTCPServer of our own on 127.0.0.1 that greets and
// echoes lines. A test skips only when the proxy's program is not installed.
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <typeinfo>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/connection/IdSocks.h"
#include "idframework/connection/IdTCPConnection.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdTCPServer.h"
#include "support/ChildProcess.h"
#include "support/IPv6Loopback.h"

using namespace Id;
using namespace IdTest;

namespace {

const char* const Danted = "/usr/sbin/danted";
const char* const Microsocks = "/usr/bin/microsocks";
const char* const Sshd = "/usr/sbin/sshd";
const char* const Ssh = "/usr/bin/ssh";
const char* const SshKeygen = "/usr/bin/ssh-keygen";
const char* const Unshare = "/usr/bin/unshare";

// A system account that exists only in the proxies' private view of the password files.
const char* const TestUser = "idsockstest";
const char* const TestPassword = "Tunnel-Pa55";
const char* const TestPasswordHash = "$6$idsocksproxytest$EMiXHM/fbSRJum9XzTJu.2YY6IwH8AzlYJqctd5J"
                                     "N23dR1HTqIMtkzamAy7neuoxP./s959NnQTCDaRrtnsGN.";

#define SKIP_WITHOUT(Program)                                                                      \
  if (!IsProgram(Program)) GTEST_SKIP() << Program << " is not installed"

/// The target behind the proxies, on the loopback address of AVersion: greets with "200 ready"
/// and answers each line L with "echo: L".
class TEchoServer {
public:
  explicit TEchoServer(TIdIPVersion AVersion = TIdIPVersion::ivIPv4) {
    FServer.Greeting().SetCodeAndText(200, "ready");
    FServer.OnExecute = [](TIdPeerThread& AThread) {
      TIdTCPConnection& Connection = *AThread.PeerConnection();
      Connection.WriteLine("echo: " + Connection.ReadLine());
    };
    TIdSocketHandle* Binding = FServer.Bindings().AddBinding();
    Binding->SetIPVersion(AVersion);
    Binding->SetIP(AVersion == TIdIPVersion::ivIPv6 ? "::1" : "127.0.0.1");
    Binding->SetPort(0);
    FServer.SetActive(true);
    FPort = Binding->Port();
  }
  int32_t Port() const noexcept { return FPort; }

private:
  TIdTCPServer FServer{nullptr};
  int32_t FPort = 0;
};

/// A client connection whose socket transport goes through the proxy at 127.0.0.1:AProxyPort.
class TProxiedClient {
public:
  TProxiedClient(TSocksVersion AVersion, int32_t AProxyPort) {
    FConnection.SetIOHandler(std::make_unique<TIdIOHandlerSocket>(nullptr));
    FConnection.SetReadTimeout(10000);
    Transport().OpenIO();
    TIdSocksInfo& Socks = *Transport().SocksInfo();
    Socks.SetVersion(AVersion);
    Socks.SetHost("127.0.0.1");
    Socks.SetPort(AProxyPort);
  }
  TIdIOHandlerSocket& Transport() { return *FConnection.SocketTransport(); }
  TIdSocksInfo& Socks() { return *Transport().SocksInfo(); }
  void UseCredentials(const std::string& AUser, const std::string& APassword) {
    Socks().SetAuthentication(TSocksAuthentication::saUsernamePassword);
    Socks().SetUsername(AUser);
    Socks().SetPassword(APassword);
  }
  void Connect(const std::string& AHost, int32_t APort) {
    Transport().ConnectTo(AHost, APort, "", 0, 0, 0, 10000);
  }
  /// Reads the greeting, then sends three lines and reads their echoes.
  void ExchangeLines() {
    EXPECT_EQ(FConnection.ReadLine(), "200 ready");
    for (const std::string Line : {"first", "second line", "third"}) {
      FConnection.WriteLine(Line);
      EXPECT_EQ(FConnection.ReadLine(), "echo: " + Line);
    }
  }

private:
  TIdTCPConnection FConnection{nullptr};
};

template <class TExpected>
void ExpectFailure(TProxiedClient& AClient, const std::string& AHost, int32_t APort,
                   const std::string& AText) {
  try {
    AClient.Connect(AHost, APort);
    ADD_FAILURE() << "nothing raised; expected \"" << AText << "\"";
  } catch (const Exception& Raised) {
    EXPECT_TRUE(dynamic_cast<const TExpected*>(&Raised))
        << "raised " << typeid(Raised).name() << ": " << Raised.Message();
    EXPECT_EQ(Raised.Message(), AText);
  }
}

/// Copies of the password files with the test account added, for bind mounts over the real
/// ones inside a private mount namespace.
void WriteAccountFiles(const TTempDir& ADir) {
  WriteTextFile(ADir.File("passwd"), ReadTextFile("/etc/passwd") + TestUser +
                                         ":x:64123:64123::/nonexistent:/usr/sbin/nologin\n");
  WriteTextFile(ADir.File("shadow"),
                ReadTextFile("/etc/shadow") + TestUser + ":" + TestPasswordHash +
                    ":19000:0:99999:7:::\n",
                0640);
}

/// The command that runs AShellCommand with the test account visible, in a mount namespace of
/// its own (a user namespace too when the test is not root), so the machine's files stay as they
/// are. The shell execs the program, which keeps the child's process id.
std::vector<std::string> WithTestAccount(const TTempDir& ADir, const std::string& AShellCommand) {
  std::vector<std::string> Command{Unshare, "-m"};
  if (::geteuid() != 0) Command.push_back("-r");
  Command.insert(Command.end(),
                 {"/bin/sh", "-c",
                  "mount --bind " + ADir.File("passwd") + " /etc/passwd && " + "mount --bind " +
                      ADir.File("shadow") + " /etc/shadow && " + AShellCommand});
  return Command;
}

// ---- danted -----------------------------------------------------------------------------------

/// danted on 127.0.0.1 offering user name and password and no authentication, allowing only
/// loopback targets (::1 too) other than 127.0.0.2. Returns its port; 0 when it would not start
/// (its log says why).
int32_t StartDanted(const TTempDir& ADir, TChildProcess& AChild) {
  WriteAccountFiles(ADir);
  const std::string User = ::geteuid() == 0 ? "nobody" : "root";
  // danted cannot be told to take any free port: take a recently free one, and another one
  // should someone take it first.
  for (int Attempt = 0; Attempt < 5; ++Attempt) {
    const int32_t Port = RecentlyFreeLoopbackPort();
    WriteTextFile(ADir.File("danted.conf"), "logoutput: stderr\n"
                                            "internal: 127.0.0.1 port = " +
                                                std::to_string(Port) +
                                                "\n"
                                                "external: 127.0.0.1\n"
                                                "external: ::1\n"
                                                "clientmethod: none\n"
                                                "socksmethod: username none\n"
                                                "user.privileged: root\n"
                                                "user.unprivileged: " +
                                                User +
                                                "\n"
                                                "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                                "socks block { from: 0.0.0.0/0 to: 127.0.0.2/32 }\n"
                                                "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n"
                                                "socks pass { from: 127.0.0.0/8 to: ::1/128 }\n");
    const bool Started = AChild.Start(WithTestAccount(ADir, std::string("exec ") + Danted + " -f " +
                                                                ADir.File("danted.conf") + " -p " +
                                                                ADir.File("danted.pid")),
                                      ADir.File("danted.log"));
    if (Started && AChild.WaitForListeningPort(Port) == Port) return Port;
    AChild.Stop();
  }
  return 0;
}

class DantedProxy : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT(Danted);
    SKIP_WITHOUT(Unshare);
    FPort = StartDanted(FDir, FDanted);
    ASSERT_NE(FPort, 0) << FDanted.Log();
  }
  void TearDown() override {
    FDanted.Stop();
    if (HasFailure()) std::cerr << "danted log:\n" << FDanted.Log();
  }

  TTempDir FDir;
  TChildProcess FDanted;
  int32_t FPort = 0;
  TEchoServer FTarget;
};

TEST_F(DantedProxy, Socks4CarriesLinesBothWays) {
  TProxiedClient Client(TSocksVersion::svSocks4, FPort);
  Client.Connect("localhost", FTarget.Port());
  Client.ExchangeLines();
}

TEST_F(DantedProxy, Socks5WithoutAuthenticationCarriesLinesBothWays) {
  TProxiedClient Client(TSocksVersion::svSocks5, FPort);
  Client.Connect("127.0.0.1", FTarget.Port());
  Client.ExchangeLines();
}

TEST_F(DantedProxy, Socks5WithUserNameAndPasswordCarriesLinesBothWays) {
  TProxiedClient Client(TSocksVersion::svSocks5, FPort);
  Client.UseCredentials(TestUser, TestPassword);
  Client.Connect("127.0.0.1", FTarget.Port());
  Client.ExchangeLines();
}

// The destination goes as an IPv6 address (address type 4), and so does the proxy's reply.
TEST_F(DantedProxy, Socks5CarriesLinesToAnIPv6Target) {
  ID_SKIP_WITHOUT_IPV6();
  TEchoServer Target(TIdIPVersion::ivIPv6);
  TProxiedClient Client(TSocksVersion::svSocks5, FPort);
  Client.Connect("::1", Target.Port());
  Client.ExchangeLines();
}

TEST_F(DantedProxy, Socks4AIsRejected) {
  TProxiedClient Client(TSocksVersion::svSocks4A, FPort);
  ExpectFailure<EIdSocksRequestFailed>(Client, "localhost", FTarget.Port(),
                                       "Request rejected or failed.");
}

TEST_F(DantedProxy, Socks5TargetOutsideTheRulesetIsRefusedByTheProxy) {
  TProxiedClient Client(TSocksVersion::svSocks5, FPort);
  ExpectFailure<EIdSocksServerPermissionError>(Client, "127.0.0.2", FTarget.Port(),
                                               "Connection not allowed by ruleset.");
}

// ---- microsocks -------------------------------------------------------------------------------

class MicrosocksProxy : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT(Microsocks);
    // microsocks takes any free port when given port 0; its listening socket tells which.
    ASSERT_TRUE(FMicrosocks.Start({Microsocks, "-i", "127.0.0.1", "-p", "0", "-b", "127.0.0.1",
                                   "-u", TestUser, "-P", TestPassword},
                                  FDir.File("microsocks.log")));
    FPort = FMicrosocks.WaitForListeningPort();
    ASSERT_NE(FPort, 0) << FMicrosocks.Log();
  }
  void TearDown() override {
    FMicrosocks.Stop();
    if (HasFailure()) std::cerr << "microsocks log:\n" << FMicrosocks.Log();
  }

  TTempDir FDir;
  TChildProcess FMicrosocks;
  int32_t FPort = 0;
  TEchoServer FTarget;
};

TEST_F(MicrosocksProxy, Socks5WithUserNameAndPasswordCarriesLinesBothWays) {
  TProxiedClient Client(TSocksVersion::svSocks5, FPort);
  Client.UseCredentials(TestUser, TestPassword);
  Client.Connect("127.0.0.1", FTarget.Port());
  Client.ExchangeLines();
}

TEST_F(MicrosocksProxy, NoAuthenticationIsNotAnAcceptableMethod) {
  TProxiedClient Client(TSocksVersion::svSocks5, FPort);
  ExpectFailure<EIdSocksAuthMethodError>(Client, "127.0.0.1", FTarget.Port(),
                                         "Invalid socks authentication method.");
}

// microsocks answers a SOCKS 4 request with two bytes and closes: a short reply.
TEST_F(MicrosocksProxy, ShortSocks4ReplyIsTheConnectionsClosedError) {
  TProxiedClient Client(TSocksVersion::svSocks4, FPort);
  ExpectFailure<EIdConnClosedGracefully>(Client, "127.0.0.1", FTarget.Port(),
                                         "Connection Closed Gracefully.");
}

// ---- OpenSSH dynamic forwarding ---------------------------------------------------------------

/// Keys, configuration and the ProxyCommand that runs sshd in inetd mode on ssh's pipe. As root,
/// sshd runs in a private mount namespace that sees the test account and has its own /run for the
/// privilege separation folder; otherwise it serves the current user without a namespace.
std::string PrepareSshd(const TTempDir& ADir, std::string& AUser) {
  RunToEnd({SshKeygen, "-q", "-t", "ed25519", "-N", "", "-f", ADir.File("host_key")},
           ADir.File("keygen.log"));
  RunToEnd({SshKeygen, "-q", "-t", "ed25519", "-N", "", "-f", ADir.File("client_key")},
           ADir.File("keygen.log"));
  WriteTextFile(ADir.File("authorized_keys"), ReadTextFile(ADir.File("client_key.pub")));
  WriteTextFile(ADir.File("known_hosts"), "socks-test " + ReadTextFile(ADir.File("host_key.pub")));
  WriteTextFile(ADir.File("sshd_config"), "HostKey " + ADir.File("host_key") + "\n" +
                                              "AuthorizedKeysFile " + ADir.File("authorized_keys") +
                                              "\n" +
                                              "StrictModes no\n"
                                              "UsePAM no\n"
                                              "PasswordAuthentication no\n"
                                              "KbdInteractiveAuthentication no\n"
                                              "AllowTcpForwarding yes\n"
                                              "AddressFamily inet\n"
                                              "PidFile none\n"
                                              "LogLevel ERROR\n");
  const std::string Serve = std::string(Sshd) + " -i -e -f " + ADir.File("sshd_config");
  if (::geteuid() != 0) {
    AUser = ::getpwuid(::geteuid())->pw_name;
    return Serve;
  }
  WriteAccountFiles(ADir);
  AUser = TestUser;
  std::string Command;
  for (const std::string& Part :
       WithTestAccount(ADir, "mount -t tmpfs none /run && mkdir -m 755 /run/sshd && exec " + Serve))
    Command += (Command.empty() ? "" : " ") + ("'" + Part + "'");
  return Command;
}

/// ssh with dynamic forwarding on 127.0.0.1 to an sshd on its pipe; returns the SOCKS port, 0
/// when it would not start (its log says why).
int32_t StartSshDynamicForwarding(const TTempDir& ADir, TChildProcess& AChild) {
  std::string User;
  const std::string ProxyCommand = PrepareSshd(ADir, User);
  for (int Attempt = 0; Attempt < 5; ++Attempt) {
    const int32_t Port = RecentlyFreeLoopbackPort();
    const bool Started =
        AChild.Start({Ssh,         "-F",
                      "/dev/null", "-N",
                      "-D",        "127.0.0.1:" + std::to_string(Port),
                      "-i",        ADir.File("client_key"),
                      "-o",        "BatchMode=yes",
                      "-o",        "ExitOnForwardFailure=yes",
                      "-o",        "IdentitiesOnly=yes",
                      "-o",        "HostKeyAlias=socks-test",
                      "-o",        "UserKnownHostsFile=" + ADir.File("known_hosts"),
                      "-o",        "GlobalKnownHostsFile=/dev/null",
                      "-o",        "ProxyCommand=" + ProxyCommand,
                      "-l",        User,
                      "socks-test"},
                     ADir.File("ssh.log"));
    if (Started && AChild.WaitForListeningPort(Port) == Port) return Port;
    AChild.Stop();
  }
  return 0;
}

class SshDynamicForwarding : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT(Ssh);
    SKIP_WITHOUT(Sshd);
    SKIP_WITHOUT(SshKeygen);
    SKIP_WITHOUT(Unshare);
    FPort = StartSshDynamicForwarding(FDir, FSsh);
    ASSERT_NE(FPort, 0) << FSsh.Log();
  }
  void TearDown() override {
    FSsh.Stop();
    if (HasFailure()) std::cerr << "ssh log:\n" << FSsh.Log();
  }

  TTempDir FDir;
  TChildProcess FSsh;
  int32_t FPort = 0;
  TEchoServer FTarget;
};

TEST_F(SshDynamicForwarding, Socks4AHandsTheNameToTheProxy) {
  TProxiedClient Client(TSocksVersion::svSocks4A, FPort);
  Client.Socks().SetUsername("anyone");
  Client.Connect("localhost", FTarget.Port());
  Client.ExchangeLines();
}

TEST_F(SshDynamicForwarding, Socks4And5CarryLinesBothWays) {
  for (TSocksVersion Version : {TSocksVersion::svSocks4, TSocksVersion::svSocks5}) {
    SCOPED_TRACE(static_cast<int>(Version));
    TProxiedClient Client(Version, FPort);
    Client.Connect("127.0.0.1", FTarget.Port());
    Client.ExchangeLines();
  }
}

} // namespace
