// SPDX-License-Identifier: MIT
// Helpers for the TLS tests: certificates made with OpenSSL at test time in a private folder,
// real peers (openssl, python3) as child processes with their input from a file, and a line
// server on the framework that speaks TLS (or switches to it after STARTTLS).
#pragma once

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "idframework/core/IdRFCReply.h"
#include "idframework/server/IdCommandHandlers.h"
#include "idframework/tls/IdServerIOHandlerTLS.h"
#include "idframework/tls/IdStartTLS.h"
#include "server/ServerTestSupport.h"
#include "support/ChildProcess.h"

namespace IdTest {

/// Keys and certificates of a small private PKI, as PEM files in a temporary folder: a CA; a
/// server certificate for localhost, 127.0.0.1 and ::1; the same name expired; one from an unknown
/// CA; a client certificate; "other" for other.test and *.wild.test; "renewed", a second one for
/// localhost; "self", a self-signed one for localhost. EC P-256 keys; nothing outlives the
/// object.
class TTestPKI {
public:
  TTestPKI() {
    TKey CAKey = NewKey();
    TCert CA = Issue(CAKey.get(), "Test CA", nullptr, CAKey.get(), -1, 30, "critical,CA:TRUE", "");
    Save("ca.pem", Pem(CA.get()));
    const std::string Names = "DNS:localhost,IP:127.0.0.1,IP:::1";
    Pair("server", "localhost", CA.get(), CAKey.get(), -1, 30, Names);
    Pair("expired", "localhost", CA.get(), CAKey.get(), -30, -1, Names);
    Pair("client", "test client", CA.get(), CAKey.get(), -1, 30, "");
    Pair("other", "other.test", CA.get(), CAKey.get(), -1, 30, "DNS:other.test,DNS:*.wild.test");
    Pair("renewed", "localhost renewed", CA.get(), CAKey.get(), -1, 30, Names);
    Pair("self", "localhost", nullptr, nullptr, -1, 30, Names);
    TKey RogueKey = NewKey();
    TCert Rogue =
        Issue(RogueKey.get(), "Rogue CA", nullptr, RogueKey.get(), -1, 30, "critical,CA:TRUE", "");
    Pair("rogue", "localhost", Rogue.get(), RogueKey.get(), -1, 30, Names);
  }

  /// Adds a self-signed certificate for localhost with a new RSA key as AName.pem/.key (static
  /// RSA key exchange needs an RSA key).
  void AddSelfSignedRSA(const std::string& AName) {
    TKey Key(EVP_RSA_gen(2048));
    if (!Key) throw std::runtime_error("key generation failed");
    TCert Cert = Issue(Key.get(), "localhost", nullptr, Key.get(), -1, 30, "critical,CA:FALSE",
                       "DNS:localhost");
    Save(AName + ".pem", Pem(Cert.get()));
    Save(AName + ".key", Pem(Key.get()));
  }

  /// The path of a file of the PKI: ca.pem, server.pem/.key, expired.*, rogue.*, client.*,
  /// other.*, renewed.*, self.*.
  std::string File(const std::string& AName) const { return FDir.File(AName); }
  std::string Text(const std::string& AName) const { return ReadTextFile(File(AName)); }
  const TTempDir& Dir() const { return FDir; }

private:
  struct TKeyFree {
    void operator()(EVP_PKEY* AKey) const { EVP_PKEY_free(AKey); }
  };
  struct TCertFree {
    void operator()(X509* ACert) const { X509_free(ACert); }
  };
  using TKey = std::unique_ptr<EVP_PKEY, TKeyFree>;
  using TCert = std::unique_ptr<X509, TCertFree>;

  static TKey NewKey() {
    TKey Key(EVP_EC_gen("P-256"));
    if (!Key) throw std::runtime_error("key generation failed");
    return Key;
  }

  static void AddExtension(X509* ACert, X509* AIssuer, int ANid, const std::string& AValue) {
    if (AValue.empty()) return;
    X509V3_CTX Context;
    X509V3_set_ctx(&Context, AIssuer ? AIssuer : ACert, ACert, nullptr, nullptr, 0);
    X509_EXTENSION* Extension = X509V3_EXT_conf_nid(nullptr, &Context, ANid, AValue.c_str());
    if (!Extension) throw std::runtime_error("bad extension " + AValue);
    X509_add_ext(ACert, Extension, -1);
    X509_EXTENSION_free(Extension);
  }

  // A certificate for AKey named ACommonName, valid from AFromDays to AToDays around now.
  static TCert Issue(EVP_PKEY* AKey, const std::string& ACommonName, X509* AIssuer,
                     EVP_PKEY* AIssuerKey, long AFromDays, long AToDays,
                     const std::string& AConstraints, const std::string& ANames) {
    static long Serial = 1;
    TCert Cert(X509_new());
    X509_set_version(Cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(Cert.get()), Serial++);
    X509_gmtime_adj(X509_getm_notBefore(Cert.get()), AFromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(Cert.get()), AToDays * 86400);
    X509_set_pubkey(Cert.get(), AKey);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(Cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(ACommonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(Cert.get(), X509_get_subject_name(AIssuer ? AIssuer : Cert.get()));
    AddExtension(Cert.get(), AIssuer, NID_basic_constraints, AConstraints);
    AddExtension(Cert.get(), AIssuer, NID_subject_alt_name, ANames);
    if (X509_sign(Cert.get(), AIssuerKey, EVP_sha256()) <= 0)
      throw std::runtime_error("signing failed");
    return Cert;
  }

  void Pair(const std::string& AName, const std::string& ACommonName, X509* AIssuer,
            EVP_PKEY* AIssuerKey, long AFromDays, long AToDays, const std::string& ANames) {
    TKey Key = NewKey();
    // Without an issuer, self-signed.
    TCert Cert = Issue(Key.get(), ACommonName, AIssuer, AIssuerKey ? AIssuerKey : Key.get(),
                       AFromDays, AToDays, "critical,CA:FALSE", ANames);
    Save(AName + ".pem", Pem(Cert.get()));
    Save(AName + ".key", Pem(Key.get()));
  }

  template <class F> static std::string ToPem(F AWrite) {
    BIO* Bio = BIO_new(BIO_s_mem());
    AWrite(Bio);
    char* Data = nullptr;
    const long Length = BIO_get_mem_data(Bio, &Data);
    std::string Text(Data, static_cast<size_t>(Length));
    BIO_free(Bio);
    return Text;
  }
  static std::string Pem(X509* ACert) {
    return ToPem([&](BIO* B) { PEM_write_bio_X509(B, ACert); });
  }
  static std::string Pem(EVP_PKEY* AKey) {
    return ToPem(
        [&](BIO* B) { PEM_write_bio_PrivateKey(B, AKey, nullptr, nullptr, 0, nullptr, nullptr); });
  }
  void Save(const std::string& AName, const std::string& AText) {
    WriteTextFile(FDir.File(AName), AText, 0600);
  }

  TTempDir FDir;
};

/// A program run as a child of the test with its standard input from a file and its standard
/// output and error in files of their own. Stop() (also run by the destructor) ends and reaps it.
class TPeerProcess {
public:
  TPeerProcess() = default;
  ~TPeerProcess() { Stop(); }
  TPeerProcess(const TPeerProcess&) = delete;
  TPeerProcess& operator=(const TPeerProcess&) = delete;

  /// Starts AArgs (AArgs[0] found on PATH) with AInput as its standard input; raises when the
  /// program cannot start.
  void Start(const TTempDir& ADir, const std::vector<std::string>& AArgs,
             const std::string& AInput = std::string()) {
    static int Count = 0;
    const std::string Base = ADir.File("peer" + std::to_string(++Count));
    WriteTextFile(Base + ".in", AInput);
    FOut = Base + ".out";
    FErr = Base + ".err";
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 0, (Base + ".in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 1, FOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&Actions, 2, FErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> Argv;
    for (const std::string& Arg : AArgs)
      Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    const int Failed = ::posix_spawnp(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (Failed) throw std::runtime_error("cannot start " + AArgs[0]);
    FExited = false;
  }
  pid_t Pid() const noexcept { return FPid; }
  bool Exited() {
    if (!FExited && FPid > 0 && ::waitpid(FPid, &FStatus, WNOHANG) == FPid) FExited = true;
    return FExited;
  }
  /// Waits up to ALimit for the end; the exit code, or -1 (signal or still running).
  int WaitExit(std::chrono::milliseconds ALimit = FactLimit) {
    if (!WaitFor([&] { return Exited(); }, ALimit)) return -1;
    return WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : -1;
  }
  void Stop() {
    if (FPid <= 0 || Exited()) return;
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, &FStatus, 0);
    FExited = true;
  }
  std::string Out() const { return ReadTextFile(FOut); }
  std::string Err() const { return ReadTextFile(FErr); }
  /// Waits until the program listens on 127.0.0.1; the port, or 0 when it ended first.
  int32_t WaitForListeningPort() {
    int32_t Port = 0;
    WaitFor(
        [&] {
          for (int32_t P : ListeningPortsOf(FPid))
            Port = P;
          return Port != 0 || Exited();
        },
        FactLimit);
    return Port;
  }

private:
  pid_t FPid = -1;
  int FStatus = 0;
  bool FExited = true;
  std::string FOut;
  std::string FErr;
};

/// A line server on the framework over TLS, on 127.0.0.1 with a system-chosen port: greeting
/// "220 test ready"; ECHO <text> (250 <text>); EHLO (250-localhost, then 250 STARTTLS while TLS
/// is off); NOOP (250 OK); STARTTLS (220 Go ahead, then the switch); QUIT (221 Bye, closed);
/// SESSION, PEER and CLIENT (below); anything else 500. Explicit mode starts plain (STARTTLS
/// servers), implicit speaks TLS at once.
class TTLSLineServer {
public:
  explicit TTLSLineServer(const TTestPKI& APKI, Id::TIdTLSMode AMode = Id::TIdTLSMode::tmImplicit) {
    FHandler.Context().UseCertificateChainFile(APKI.File("server.pem"));
    FHandler.Context().UsePrivateKeyFile(APKI.File("server.key"));
    FHandler.SetMode(AMode);
    FHandler.OnHandshakeFailure = [this](Id::TIdIOHandlerTLS&, const Id::Exception& E) {
      Failures.Add(E.Message());
    };
    FServer.SetIOHandler(&FHandler);
    FServer.Greeting().SetCodeAndText(220, "test ready");
    FServer.ReplyUnknownCommand().SetCodeAndText(500, "Unknown command");
    FServer.OnException = [this](Id::TIdPeerThread&, const Id::Exception& E) {
      Exceptions.Add(E.Message());
    };
    InstallCommands();
  }
  ~TTLSLineServer() { FServer.SetActive(false); }

  /// Activates the server; the port.
  int32_t Start() { return FPort = StartOnLoopback(FServer); }
  int32_t Port() const noexcept { return FPort; }
  Id::TIdTCPServer& Server() noexcept { return FServer; }
  Id::TIdServerIOHandlerTLS& Handler() noexcept { return FHandler; }

  TEventLog Failures;   // handshake failures, as the transports reported them
  TEventLog Exceptions; // the server's OnException
  /// Sent by GETFILE (then the server closes); set before the clients come.
  std::string FileToSend;
  /// What PUT read until the client closed, one entry per PUT.
  TEventLog Received;

private:
  Id::TIdCommandHandler* Add(const std::string& AWord) {
    Id::TIdCommandHandler* Handler = FServer.CommandHandlers().Add();
    Handler->SetCommand(AWord);
    return Handler;
  }
  static Id::TIdIOHandlerTLS& TransportOf(Id::TIdCommand& ACommand) {
    return dynamic_cast<Id::TIdIOHandlerTLS&>(
        *ACommand.SourceThread()->PeerConnection()->IOHandler());
  }
  void InstallCommands() {
    Add("ECHO")->OnCommand = [](Id::TIdCommand& C) {
      C.CommandReply().SetCodeAndText(250, C.ParamText());
    };
    Add("NOOP")->ReplyNormal().SetCodeAndText(250, "OK");
    Add("EHLO")->OnCommand = [](Id::TIdCommand& C) {
      C.CommandReply().SetCodeAndText(250, "localhost");
      if (!TransportOf(C).TLSActive()) C.CommandReply().Text().Add("STARTTLS");
    };
    Add("STARTTLS")->OnCommand = [](Id::TIdCommand& C) {
      C.CommandReply().SetCodeAndText(220, "Go ahead");
      C.SendCommandReply();
      Id::StartTLS(*C.SourceThread()->PeerConnection());
    };
    Add("SESSION")->OnCommand = [](Id::TIdCommand& C) {
      const Id::TIdTLSEngine* S = TransportOf(C).Session();
      C.CommandReply().SetCodeAndText(250, S ? S->ALPNProtocol() + "|" +
                                                   (S->SessionReused() ? "resumed" : "full") + "|" +
                                                   S->PeerSubject()
                                             : std::string("plain"));
    };
    // SESSION: 250 <ALPN>|<full or resumed>|<client certificate subject>, or 250 plain.
    // PEER: 250 <the client certificate's fingerprint>|<the length of the chain it sent>.
    Add("PEER")->OnCommand = [](Id::TIdCommand& C) {
      const Id::TIdTLSEngine& S = *TransportOf(C).Session();
      C.CommandReply().SetCodeAndText(250, S.PeerCertificate().Fingerprint() + "|" +
                                               std::to_string(S.PeerCertificateChain().size()));
    };
    // CLIENT: 250 <client address> <port> <destination address> <port> (ClientIP...).
    Add("CLIENT")->OnCommand = [](Id::TIdCommand& C) {
      const Id::TIdTCPServerConnection& P = *C.SourceThread()->PeerConnection();
      C.CommandReply().SetCodeAndText(250, P.ClientIP() + " " + std::to_string(P.ClientPort()) +
                                               " " + P.DestinationIP() + " " +
                                               std::to_string(P.DestinationPort()));
    };
    Add("GETFILE")->OnCommand = [this](Id::TIdCommand& C) {
      C.SetReplyPending(false);
      C.SourceThread()->PeerConnection()->SendFile(FileToSend);
      C.SourceThread()->PeerConnection()->CloseConnection();
    };
    Add("PUT")->OnCommand = [this](Id::TIdCommand& C) {
      C.SetReplyPending(false);
      Received.Add(C.SourceThread()->PeerConnection()->ReadUntilClosed());
    };
    Id::TIdCommandHandler* Quit = Add("QUIT");
    Quit->ReplyNormal().SetCodeAndText(221, "Bye");
    Quit->SetDisconnect(true);
  }

  Id::TIdServerIOHandlerTLS FHandler{nullptr};
  Id::TIdTCPServer FServer{nullptr};
  int32_t FPort = 0;
};

/// A client transport of the framework for 127.0.0.1:APort, trusting the PKI's CA.
inline std::unique_ptr<Id::TIdIOHandlerTLS> NewClientTransport(const TTestPKI& APKI) {
  auto Transport = std::make_unique<Id::TIdIOHandlerTLS>(nullptr);
  Transport->Context().LoadTrustFile(APKI.File("ca.pem"));
  Transport->OpenIO();
  return Transport;
}

} // namespace IdTest
