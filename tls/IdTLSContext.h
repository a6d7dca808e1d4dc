// SPDX-License-Identifier: MIT
// The settings one side of TLS sessions shares: its role, its certificate and key (chosen by
// server name, replaceable while a server runs), whom it trusts, how it checks the peer, and the
// protocols it speaks.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "idframework/runtime/Export.h"
#include "idframework/tls/IdTLSCertificate.h"

namespace Id {

namespace TLSDetail {
class TServerNames;
}

/// Which end of the handshake the sessions of a context take.
enum class TIdTLSRole { trClient, trServer };
/// What a server asks of its clients' certificates.
enum class TIdTLSClientCertificate { ccNone, ccRequest, ccRequire };
/// The oldest protocol version a context accepts; never older than TLS 1.2.
enum class TIdTLSVersion { tvTLS12, tvTLS13 };

/// Answers the passphrase of an encrypted private key. Runs on the thread that gives the key.
using TIdTLSPassphraseEvent = std::function<std::string()>;
/// Decides on the peer's certificate chain (the peer's own first, as it was sent) after
/// OpenSSL's checks: AFailure is empty when they passed, else OpenSSL's reason ("self-signed
/// certificate", "hostname mismatch", ...). True accepts the peer, false refuses it; an
/// exception counts as a refusal. Runs on the thread of the handshake.
using TIdTLSVerifyPeerEvent =
    std::function<bool(const std::vector<TIdTLSCertificate>& AChain, const std::string& AFailure)>;

/// An OpenSSL context with the framework's defaults: TLS 1.2 at least; for TLS 1.2 only suites
/// with forward secrecy and authenticated encryption (ECDHE with AES-GCM or ChaCha20-Poly1305;
/// TLS 1.3 keeps OpenSSL's suites); a client verifies the server's certificate against the
/// system's trusted roots (or the given trust file) and its host name; a server picks the suite
/// in its own order of preference, asks for no client certificate and resumes sessions (cache
/// and tickets).
///
/// Threads: configure it on one thread before the first session; afterwards many threads make
/// sessions of it at once, and it must not change, except through AddServerName,
/// RemoveServerName and ReplaceCertificate, which any thread may call at any time. Every setter
/// raises EIdTLSSetupError with OpenSSL's reason when OpenSSL refuses the value.
///
/// \see The guide: \ref guide-tls-client-certificates, \ref guide-tls-names.
class ID_API TIdTLSContext {
public:
  /// Raises EIdTLSSetupError when OpenSSL cannot make a context.
  explicit TIdTLSContext(TIdTLSRole ARole);
  ~TIdTLSContext();
  TIdTLSContext(const TIdTLSContext&) = delete;
  TIdTLSContext& operator=(const TIdTLSContext&) = delete;

  /// The side of the handshake the context serves.
  TIdTLSRole Role() const noexcept { return FRole; }

  /// The own certificate followed by its chain, from a PEM file or PEM text.
  void UseCertificateChainFile(const std::string& AFileName);
  void UseCertificateChain(const std::string& APem);
  /// The own private key, from a PEM file or PEM text; raises when it does not belong to the
  /// certificate given before. An encrypted key is opened with the passphrase below; without
  /// one it is refused (never asked for on the terminal).
  void UsePrivateKeyFile(const std::string& AFileName);
  void UsePrivateKey(const std::string& APem);
  /// The passphrase of the encrypted private keys given afterwards.
  void SetPrivateKeyPassphrase(const std::string& AValue) { FPassphrase = AValue; }
  /// Asked for the passphrase when an encrypted private key is given and no passphrase text
  /// was set; what it raises reaches the caller that gave the key.
  TIdTLSPassphraseEvent OnPassphrase;
  /// True once a certificate and its private key are in place (own or replaced).
  bool HasCertificate() const;

  /// Server: the certificate, chain and key of ACertificate serve the clients that ask for
  /// AName by SNI (without regard to case; "*.example.org" serves one label before
  /// example.org). Only those are taken from ACertificate, every other setting is this
  /// context's; ACertificate must not change afterwards. Adding a name again replaces its
  /// certificate. Any thread, at any time: handshakes that begin afterwards take it, sessions
  /// already established keep theirs. Raises EIdTLSSetupError when it has no certificate and key.
  void AddServerName(const std::string& AName, std::shared_ptr<const TIdTLSContext> ACertificate);
  /// Server: the name serves the default certificate again. Any thread, at any time.
  void RemoveServerName(const std::string& AName);
  /// Server: ACertificate's certificate, chain and key replace this context's own for every
  /// client whose name was not added (nullptr: this context's own again), as AddServerName.
  void ReplaceCertificate(std::shared_ptr<const TIdTLSContext> ACertificate);

  /// Trusts exactly the certificates of a PEM file or text (added up over several calls)
  /// instead of the system's roots.
  void LoadTrustFile(const std::string& AFileName);
  void LoadTrust(const std::string& APem);

  /// Client: whether the server's certificate and host name are checked. Default true.
  bool VerifyPeer() const noexcept { return FVerifyPeer; }
  void SetVerifyPeer(bool AValue);
  /// Server: whether clients are asked for a certificate, and whether one is required.
  /// Default ccNone. A certificate that is sent is always verified.
  TIdTLSClientCertificate ClientCertificate() const noexcept { return FClientCertificate; }
  void SetClientCertificate(TIdTLSClientCertificate AValue);
  /// Client: the protocols offered, in order of preference. Server: the protocols accepted,
  /// in the server's order of preference; a client that offers none of them is refused with
  /// the no_application_protocol alert. Each name is 1 to 255 bytes. Default none.
  const std::vector<std::string>& ALPNProtocols() const noexcept { return FALPNProtocols; }
  void SetALPNProtocols(const std::vector<std::string>& AValue);
  /// The TLS 1.2 cipher list and the TLS 1.3 cipher suites, in OpenSSL's syntax; each replaces
  /// the default (a server keeps preferring its own order).
  void SetCipherList(const std::string& AValue);
  void SetCipherSuites(const std::string& AValue);
  /// Default tvTLS12.
  void SetMinimumVersion(TIdTLSVersion AValue);
  /// Server: resume sessions from the server's cache and from tickets. Default true.
  void SetSessionResumption(bool AValue);
  /// Where the peer's certificate is checked (a client's VerifyPeer, a server's client
  /// certificates), decides on it after OpenSSL's checks: a pin can refuse a chain they passed,
  /// or a self-signed peer be accepted explicitly. Not asked on a resumed session.
  TIdTLSVerifyPeerEvent OnVerifyPeer;

  /// A new session object of this context, owned by the caller (SSL_free). The first call
  /// loads the system's roots when no trust was loaded. Any thread.
  SSL* NewSession() const;
  /// The OpenSSL context; owned.
  SSL_CTX* Handle() const noexcept { return FHandle; }

private:
  struct TPassphraseRequest;
  void RequireRole(TIdTLSRole ARole, const char* ASetting) const;
  void ApplyVerifyMode();
  void UseOwnTrustStore();
  void UseReadPrivateKey(BIO* ABio, const std::string& AWhat);
  bool ChecksPeer() const noexcept;
  static int SelectALPN(SSL* ASession, const unsigned char** AOut, unsigned char* AOutLength,
                        const unsigned char* AOffered, unsigned int AOfferedLength, void* AArg);
  static int AnswerPassphrase(char* ABuffer, int ASize, int AWriting, void* AArg);
  static int VerifyChain(X509_STORE_CTX* AStore, void* AArg);
  static int SelectCertificate(SSL* ASession, int* AAlert, void* AArg);

  TIdTLSRole FRole;
  SSL_CTX* FHandle = nullptr; // owned
  bool FVerifyPeer = true;
  TIdTLSClientCertificate FClientCertificate = TIdTLSClientCertificate::ccNone;
  std::vector<std::string> FALPNProtocols;
  std::string FALPNWire; // FALPNProtocols as the length-prefixed list of the wire
  bool FOwnTrust = false;
  mutable std::once_flag FTrustLoaded; // the system's roots, loaded by the first session
  std::optional<std::string> FPassphrase;
  std::unique_ptr<TLSDetail::TServerNames> FServerNames; // owned; server role only
};

} // namespace Id
