// The settings one side of TLS sessions shares: its role, its certificate and key, whom it
// trusts, how it checks the peer, and the protocols it speaks.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/Export.h"

namespace Id {

/// Which end of the handshake the sessions of a context take.
enum class TIdTLSRole { trClient, trServer };
/// What a server asks of its clients' certificates.
enum class TIdTLSClientCertificate { ccNone, ccRequest, ccRequire };
/// The oldest protocol version a context accepts; never older than TLS 1.2.
enum class TIdTLSVersion { tvTLS12, tvTLS13 };

/// An OpenSSL context with the framework's defaults: TLS 1.2 at least; a client verifies the
/// server's certificate against the system's trusted roots (or the given trust file) and its
/// host name; a server asks for no client certificate and resumes sessions (cache and tickets).
///
/// Threads: configure it on one thread before the first session; afterwards many threads make
/// sessions of it at once, and it must not change. Every setter raises EIdTLSSetupError with
/// OpenSSL's reason when OpenSSL refuses the value.
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
  /// certificate given before.
  void UsePrivateKeyFile(const std::string& AFileName);
  void UsePrivateKey(const std::string& APem);
  /// True once a certificate and its private key are in place.
  bool HasCertificate() const;

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
  /// The TLS 1.2 cipher list and the TLS 1.3 cipher suites, in OpenSSL's syntax.
  void SetCipherList(const std::string& AValue);
  void SetCipherSuites(const std::string& AValue);
  /// Default tvTLS12.
  void SetMinimumVersion(TIdTLSVersion AValue);
  /// Server: resume sessions from the server's cache and from tickets. Default true.
  void SetSessionResumption(bool AValue);

  /// A new session object of this context, owned by the caller (SSL_free). The first call
  /// loads the system's roots when no trust was loaded. Any thread.
  SSL* NewSession() const;
  /// The OpenSSL context; owned.
  SSL_CTX* Handle() const noexcept { return FHandle; }

private:
  void RequireRole(TIdTLSRole ARole, const char* ASetting) const;
  void ApplyVerifyMode();
  void UseOwnTrustStore();
  static int SelectALPN(SSL* ASession, const unsigned char** AOut, unsigned char* AOutLength,
                        const unsigned char* AOffered, unsigned int AOfferedLength, void* AArg);

  TIdTLSRole FRole;
  SSL_CTX* FHandle = nullptr; // owned
  bool FVerifyPeer = true;
  TIdTLSClientCertificate FClientCertificate = TIdTLSClientCertificate::ccNone;
  std::vector<std::string> FALPNProtocols;
  std::string FALPNWire; // FALPNProtocols as the length-prefixed list of the wire
  bool FOwnTrust = false;
  mutable std::once_flag FTrustLoaded; // the system's roots, loaded by the first session
};

/// Notes that the calling thread entered OpenSSL, so that the thread lets go of OpenSSL's
/// state for it when its body ends (see RegisterThreadRunReset). Internal to the TLS library.
void NoteOpenSSLOnThisThread() noexcept;

} // namespace Id
