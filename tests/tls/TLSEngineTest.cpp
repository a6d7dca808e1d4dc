// SPDX-License-Identifier: MIT
// The session engine without sockets: a client and a server engine joined by memory pipes that
// hand over at most a few bytes per receive, so every record arrives cut into pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "idframework/tls/IdTLSEngine.h"
#include "idframework/tls/IdTLSExceptions.h"
#include "idframework/tls/detail/IdTLSPipe.h"
#include "tls/TLSTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

// One direction of a memory link: what one engine sends, the other receives, APiece bytes at
// most per receive; nothing there is "no bytes now".
struct TMemoryLink {
  std::string Bytes;
  size_t Read = 0;
};

class TMemoryPipe : public TIdTLSPipe {
public:
  TMemoryPipe(TMemoryLink& AIn, TMemoryLink& AOut, size_t APiece)
      : FIn(AIn), FOut(AOut), FPiece(APiece) {}
  int32_t PipeReceive(void* ABuffer, int32_t ALength) override {
    const size_t N = std::min({FIn.Bytes.size() - FIn.Read, size_t(ALength), FPiece});
    if (N == 0) return NoBytesNow;
    std::memcpy(ABuffer, FIn.Bytes.data() + FIn.Read, N);
    FIn.Read += N;
    return static_cast<int32_t>(N);
  }
  int32_t PipeSend(const void* ABuffer, int32_t ALength) override {
    FOut.Bytes.append(static_cast<const char*>(ABuffer), static_cast<size_t>(ALength));
    return ALength;
  }

private:
  TMemoryLink& FIn;
  TMemoryLink& FOut;
  size_t FPiece;
};

class TLSEngine : public testing::Test {
protected:
  TLSEngine() {
    FServerContext->UseCertificateChain(FPKI.Text("server.pem"));
    FServerContext->UsePrivateKey(FPKI.Text("server.key"));
    FClientContext->LoadTrust(FPKI.Text("ca.pem"));
  }
  // Both handshakes, taking turns until neither moves; true when both are complete.
  bool HandshakeBoth(TIdTLSEngine& AClient, TIdTLSEngine& AServer) {
    for (int Turn = 0; Turn < 100000; ++Turn) {
      const bool ClientDone = AClient.Handshake();
      const bool ServerDone = AServer.Handshake();
      if (ClientDone && ServerDone) return true;
    }
    return false;
  }
  // Writes APlain on AFrom and reads it all on ATo, the two taking turns.
  std::string Transfer(TIdTLSEngine& AFrom, TIdTLSEngine& ATo, const std::string& APlain) {
    EXPECT_EQ(AFrom.Write(APlain.data(), static_cast<int32_t>(APlain.size())),
              static_cast<int32_t>(APlain.size()));
    std::string Got;
    char Block[4096];
    for (int32_t N = 0; Got.size() < APlain.size() && N != -1;) {
      N = ATo.Read(Block, sizeof(Block));
      if (N > 0) Got.append(Block, static_cast<size_t>(N));
      if (N == TIdTLSPipe::NoBytesNow) break;
    }
    return Got;
  }

  TTestPKI FPKI;
  std::shared_ptr<TIdTLSContext> FServerContext =
      std::make_shared<TIdTLSContext>(TIdTLSRole::trServer);
  std::shared_ptr<TIdTLSContext> FClientContext =
      std::make_shared<TIdTLSContext>(TIdTLSRole::trClient);
  TMemoryLink FToServer, FToClient;
};

} // namespace

TEST_F(TLSEngine, RecordsCutIntoPiecesArriveWholeBothWays) {
  FServerContext->SetALPNProtocols({"b", "a"});
  FClientContext->SetALPNProtocols({"a", "b"});
  for (size_t Piece : {size_t(1), size_t(7), size_t(100000)}) {
    FToServer = {};
    FToClient = {};
    TMemoryPipe ClientPipe(FToClient, FToServer, Piece), ServerPipe(FToServer, FToClient, Piece);
    TIdTLSEngine Client(FClientContext, ClientPipe, "localhost");
    TIdTLSEngine Server(FServerContext, ServerPipe, "");
    ASSERT_TRUE(HandshakeBoth(Client, Server)) << "piece " << Piece;
    EXPECT_EQ(Client.ALPNProtocol(), "b") << "the server's preference";
    EXPECT_EQ(Server.ServerName(), "localhost");
    std::mt19937 Random(static_cast<unsigned>(Piece));
    std::string Plain(50000, '\0');
    for (char& C : Plain)
      C = static_cast<char>(Random());
    EXPECT_TRUE(Transfer(Client, Server, Plain) == Plain) << "piece " << Piece;
    EXPECT_TRUE(Transfer(Server, Client, Plain) == Plain) << "piece " << Piece;
    // close_notify reads as the orderly end.
    Client.Shutdown();
    char Block[16];
    EXPECT_EQ(Server.Read(Block, sizeof(Block)), 0);
  }
}

// An address of either version is checked against the certificate's addresses and is not sent
// as the server name.
TEST_F(TLSEngine, AnAddressIsCheckedAgainstTheCertificateAndSentAsNoName) {
  for (const char* Address : {"127.0.0.1", "::1", "::2"}) {
    FToServer = {};
    FToClient = {};
    TMemoryPipe ClientPipe(FToClient, FToServer, 4096), ServerPipe(FToServer, FToClient, 4096);
    TIdTLSEngine Client(FClientContext, ClientPipe, Address);
    TIdTLSEngine Server(FServerContext, ServerPipe, "");
    if (std::string(Address) == "::2") {
      EXPECT_THROW(HandshakeBoth(Client, Server), EIdTLSCertificateError);
      continue;
    }
    ASSERT_TRUE(HandshakeBoth(Client, Server)) << Address;
    EXPECT_EQ(Server.ServerName(), "") << Address;
  }
}

TEST_F(TLSEngine, FailuresCarryOpenSSLsReason) {
  FServerContext->SetALPNProtocols({"x"});
  FClientContext->SetALPNProtocols({"y"});
  TMemoryPipe ClientPipe(FToClient, FToServer, 64), ServerPipe(FToServer, FToClient, 64);
  TIdTLSEngine Client(FClientContext, ClientPipe, "localhost");
  TIdTLSEngine Server(FServerContext, ServerPipe, "");
  try {
    HandshakeBoth(Client, Server);
    ADD_FAILURE() << "no common protocol, yet a session";
  } catch (const EIdTLSHandshakeError& E) {
    EXPECT_NE(std::string(E.Message()).find("no application protocol"), std::string::npos)
        << E.Message();
  }
  // A stream that ends inside the handshake.
  TMemoryLink Truncated{std::string("\x16\x03\x01\x00\x05\x01", 6), 0}, Ignored;
  struct TEndingPipe : TMemoryPipe {
    using TMemoryPipe::TMemoryPipe;
    int32_t PipeReceive(void* ABuffer, int32_t ALength) override {
      const int32_t N = TMemoryPipe::PipeReceive(ABuffer, ALength);
      return N == NoBytesNow ? 0 : N;
    }
  } Ending(Truncated, Ignored, 64);
  TIdTLSEngine Cut(FServerContext, Ending, "");
  EXPECT_THROW(Cut.Handshake(), EIdTLSHandshakeError);
  // Client settings on a server context and the reverse are refused.
  EXPECT_THROW(FServerContext->SetVerifyPeer(false), EIdTLSSetupError);
  EXPECT_THROW(FClientContext->SetClientCertificate(TIdTLSClientCertificate::ccRequire),
               EIdTLSSetupError);
  EXPECT_THROW(FClientContext->SetALPNProtocols({std::string(256, 'p')}), EIdTLSSetupError);
}

TEST_F(TLSEngine, EncryptedKeyOpensWithThePassphraseAloneNeverAPrompt) {
  TPeerProcess Tool;
  Tool.Start(FPKI.Dir(), {"openssl", "pkey", "-in", FPKI.File("server.key"), "-aes256", "-passout",
                          "pass:secret", "-out", FPKI.File("encrypted.key")});
  ASSERT_EQ(Tool.WaitExit(), 0) << Tool.Err();
  auto Context = std::make_shared<TIdTLSContext>(TIdTLSRole::trServer);
  Context->UseCertificateChain(FPKI.Text("server.pem"));
  EXPECT_THROW(Context->UsePrivateKeyFile(FPKI.File("encrypted.key")), EIdTLSSetupError);
  Context->OnPassphrase = []() -> std::string { throw std::runtime_error("vault closed"); };
  EXPECT_THROW(Context->UsePrivateKey(FPKI.Text("encrypted.key")), std::runtime_error);
  Context->OnPassphrase = [] { return std::string("wrong"); };
  EXPECT_THROW(Context->UsePrivateKey(FPKI.Text("encrypted.key")), EIdTLSSetupError);
  EXPECT_FALSE(Context->HasCertificate());
  Context->OnPassphrase = [] { return std::string("secret"); };
  Context->UsePrivateKeyFile(FPKI.File("encrypted.key"));
  EXPECT_TRUE(Context->HasCertificate());
  // The passphrase as text.
  Context = std::make_shared<TIdTLSContext>(TIdTLSRole::trServer);
  Context->UseCertificateChain(FPKI.Text("server.pem"));
  Context->SetPrivateKeyPassphrase("secret");
  Context->UsePrivateKey(FPKI.Text("encrypted.key"));
  TMemoryPipe ClientPipe(FToClient, FToServer, 1000), ServerPipe(FToServer, FToClient, 1000);
  TIdTLSEngine Client(FClientContext, ClientPipe, "localhost");
  TIdTLSEngine Server(Context, ServerPipe, "");
  EXPECT_TRUE(HandshakeBoth(Client, Server));
}
