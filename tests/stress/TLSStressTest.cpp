// SPDX-License-Identifier: MIT
// The churn and deactivation scenarios over TLS. Churn: waves of OpenSSL clients of which some
// complete a session byte for byte, some reset in the middle of a line, some stop in the middle
// of their hello and some speak plain text to the TLS port; after each wave descriptors, threads
// and the live counts are back where the idle server had them. Deactivation: with peers blocked
// in TLS reads and peers blocked in handshakes, Active false returns within a second, every
// client sees the close, and the process is back at its baseline.
#ifdef ID_STRESS_WITH_TLS
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "stress/StressSupport.h"
#include "tls/TLSTestSupport.h"

using namespace Id;
using namespace IdStress;

namespace {

// What one TLS client does.
enum class TTLSScript { tsComplete, tsHalfLineReset, tsHalfHelloReset, tsPlainText };

TTLSScript ScriptOf(int AIndex) {
  static const TTLSScript Scripts[] = {TTLSScript::tsHalfLineReset, TTLSScript::tsHalfHelloReset,
                                       TTLSScript::tsPlainText, TTLSScript::tsComplete,
                                       TTLSScript::tsComplete};
  return Scripts[AIndex % 5];
}

int ConnectedSocket(int32_t APort) {
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_port = htons(static_cast<uint16_t>(APort));
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (Fd >= 0 && ::connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) == 0)
    return Fd;
  if (Fd >= 0) ::close(Fd);
  return -1;
}

void CloseWithReset(int AFd) {
  linger Linger{1, 0};
  ::setsockopt(AFd, SOL_SOCKET, SO_LINGER, &Linger, sizeof(Linger));
  ::close(AFd);
}

// Blocking OpenSSL clients that trust the test PKI's CA, independent of the framework.
class TOpenSSLClients {
public:
  explicit TOpenSSLClients(const IdTest::TTestPKI& APKI) {
    FContext = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_file(FContext, APKI.File("ca.pem").c_str());
    SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, nullptr);
  }
  ~TOpenSSLClients() { SSL_CTX_free(FContext); }

  // A session on a new connection to APort, or nullptr; AFd receives the socket.
  SSL* Open(int32_t APort, int& AFd) const {
    AFd = ConnectedSocket(APort);
    if (AFd < 0) return nullptr;
    SSL* Session = SSL_new(FContext);
    SSL_set_fd(Session, AFd);
    SSL_set1_host(Session, "localhost");
    if (SSL_connect(Session) == 1) return Session;
    SSL_free(Session);
    return nullptr;
  }
  // Runs AScript for client AIndex; false when something it received was wrong.
  bool Run(int32_t APort, int AIndex, TTLSScript AScript) const {
    int Fd = -1;
    if (AScript == TTLSScript::tsHalfHelloReset || AScript == TTLSScript::tsPlainText) {
      Fd = ConnectedSocket(APort);
      if (Fd < 0) return false;
      const std::string Bytes = AScript == TTLSScript::tsPlainText
                                    ? "ECHO plain\r\n"
                                    : std::string("\x16\x03\x01\x02", 4);
      ::send(Fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL);
      if (AScript == TTLSScript::tsHalfHelloReset) return CloseWithReset(Fd), true;
      char Block[256];
      while (::recv(Fd, Block, sizeof(Block), 0) > 0) {
      }
      ::close(Fd);
      return true;
    }
    SSL* Session = Open(APort, Fd);
    if (!Session) return false;
    const std::string N = std::to_string(AIndex);
    bool Right = true;
    if (AScript == TTLSScript::tsHalfLineReset) {
      SSL_write(Session, ("ECHO " + N).data(), static_cast<int>(N.size() + 5));
      CloseWithReset(Fd);
    } else {
      const std::string Request = "ECHO " + N + "\r\nQUIT\r\n";
      SSL_write(Session, Request.data(), static_cast<int>(Request.size()));
      std::string Received;
      char Block[256];
      for (int Got; (Got = SSL_read(Session, Block, sizeof(Block))) > 0;)
        Received.append(Block, static_cast<size_t>(Got));
      Right = Received == "220 test ready\r\n250 " + N + "\r\n221 Bye\r\n";
      ::close(Fd);
    }
    SSL_free(Session);
    return Right;
  }

private:
  SSL_CTX* FContext = nullptr; // owned
};

class TLSStress : public testing::Test {
protected:
  void SetUp() override { FBaseline = SettledBaseline(); }

  IdTest::TTestPKI FPKI;
  TFacts FBaseline;
};

} // namespace

TEST_F(TLSStress, ChurnOfFaultyClientsLeavesNothingBehind) {
  const int PerWave = Scaled(200);
  constexpr int Waves = 3;
  constexpr int Threads = 8;
  TOpenSSLClients Clients(FPKI);
  {
    IdTest::TTLSLineServer Server(FPKI);
    Server.Handler().SetHandshakeTimeout(Sanitized ? 3000 : 1000);
    Server.Server().SetListenQueue(PerWave);
    const TFacts Inactive = TFacts::Now();
    const int32_t Port = Server.Start();
    const TFacts Idle = IdleServerFacts(Inactive);
    for (int Wave = 0; Wave < Waves; ++Wave) {
      std::atomic<int> Wrong{0};
      std::vector<std::thread> Crowd;
      for (int T = 0; T < Threads; ++T)
        Crowd.emplace_back([&, T] {
          for (int I = T; I < PerWave; I += Threads) {
            const int Index = Wave * PerWave + I;
            if (!Clients.Run(Port, Index, ScriptOf(Index))) Wrong.fetch_add(1);
          }
        });
      for (std::thread& T : Crowd)
        T.join();
      EXPECT_EQ(Wrong.load(), 0) << "wave " << Wave;
      // The clients that stopped in their hello are ended by the handshake's time limit.
      ASSERT_TRUE(BackAt(Idle, Quick(5000ms))) << "wave " << Wave;
    }
    // Resets in the middle of a line end their peers through OnException, as in plain churn.
    RecordProperty("PeerExceptions", static_cast<int>(Server.Exceptions.Count()));
    // At least the plain-text and the half-hello clients; a reset may also cut a handshake.
    EXPECT_GE(Server.Failures.Count(), static_cast<size_t>(Waves * PerWave * 2 / 5));
    Server.Server().SetActive(false);
  }
  EXPECT_TRUE(BackAt(FBaseline, IdTest::FactLimit));
}

TEST_F(TLSStress, DeactivationEndsPeersInReadsAndInHandshakes) {
  const int Reading = Scaled(300);
  const int Shaking = Scaled(100);
  const TDescriptorLimit Limit(static_cast<rlim_t>(2 * (Reading + Shaking) + 256));
  TOpenSSLClients Clients(FPKI);
  std::vector<int> Fds;
  std::vector<SSL*> Sessions;
  {
    IdTest::TTLSLineServer Server(FPKI);
    Server.Handler().SetHandshakeTimeout(0);
    Server.Server().SetListenQueue(Reading + Shaking);
    const int32_t Port = Server.Start();
    for (int I = 0; I < Reading; ++I) {
      int Fd = -1;
      SSL* Session = Clients.Open(Port, Fd);
      ASSERT_TRUE(Session);
      char Greeting[64];
      ASSERT_GT(SSL_read(Session, Greeting, sizeof(Greeting)), 0); // the peer reads a line next
      Sessions.push_back(Session);
      Fds.push_back(Fd);
    }
    for (int I = 0; I < Shaking; ++I)
      Fds.push_back(ConnectedSocket(Port)); // never says hello
    ASSERT_TRUE(IdTest::WaitFor(
        [&] { return Server.Server().PeerThreadCount() == Reading + Shaking; }, 60s));
    const auto Start = TClock::now();
    EXPECT_NO_THROW(Server.Server().SetActive(false));
    RecordProperty("DeactivateMs", static_cast<int>(ElapsedMs(Start)));
    EXPECT_LT(ElapsedMs(Start), 1000);
    EXPECT_EQ(Server.Server().PeerThreadCount(), 0);
  }
  int SawClose = 0;
  for (int Fd : Fds) {
    char Block[4096];
    pollfd P{Fd, POLLIN, 0};
    ssize_t N = 1;
    while (::poll(&P, 1, 10000) == 1 && (N = ::recv(Fd, Block, sizeof(Block), 0)) > 0) {
    }
    SawClose += N <= 0 ? 1 : 0;
  }
  EXPECT_EQ(SawClose, Reading + Shaking) << "every client sees the close";
  for (SSL* Session : Sessions)
    SSL_free(Session);
  for (int Fd : Fds)
    ::close(Fd);
  EXPECT_TRUE(BackAt(FBaseline, IdTest::FactLimit));
}
#endif
