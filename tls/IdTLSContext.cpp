// SPDX-License-Identifier: MIT
#include "idframework/tls/IdTLSContext.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <exception>
#include <memory>
#include <utility>

#include "idframework/runtime/CriticalSection.h"
#include "idframework/runtime/SysUtils.h"
#include "idframework/tls/IdTLSExceptions.h"
#include "idframework/tls/detail/IdTLSErrorText.h"
#include "idframework/tls/detail/IdTLSPem.h"
#include "idframework/tls/detail/IdTLSServerNames.h"
#include "idframework/tls/detail/IdTLSThreadState.h"

namespace Id {

using TLSDetail::MemoryBio;
using TLSDetail::RaiseSetupError;
using TLSDetail::TBioPtr;

namespace {

// The id under which a server files its sessions; resumption with client certificates
// requires one.
constexpr unsigned char SessionIdContext[] = "IdTLS";

// TLS 1.2 without the key exchanges that lack forward secrecy (static RSA) and without the
// CBC suites (their MAC-then-encrypt is what padding-oracle attacks feed on): ECDHE with an
// AEAD cipher only, strongest first, in OpenSSL's own order. TLS 1.3 suites stay OpenSSL's.
constexpr const char* DefaultCipherList =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256";

void Check(int AResult, const std::string& AWhat) {
  TLSDetail::CheckSetup(AResult, AWhat);
}

// Any passphrase OpenSSL asks for outside a key given to the context is refused: never a
// prompt on the terminal.
int RefusePassphrase(char*, int, int, void*) {
  return -1;
}

} // namespace

TIdTLSContext::TIdTLSContext(TIdTLSRole ARole) : FRole(ARole) {
  NoteOpenSSLOnThisThread();
  ERR_clear_error();
  FHandle = SSL_CTX_new(ARole == TIdTLSRole::trClient ? TLS_client_method() : TLS_server_method());
  if (!FHandle) RaiseSetupError("context");
  SSL_CTX_set_min_proto_version(FHandle, TLS1_2_VERSION);
  Check(SSL_CTX_set_cipher_list(FHandle, DefaultCipherList), "default cipher list");
  // Reading ahead takes whole records (and more) per receive instead of a header and a body.
  SSL_CTX_set_read_ahead(FHandle, 1);
  // The chain sent is the one given, not one built anew from the trust store at each handshake.
  SSL_CTX_set_mode(FHandle, SSL_MODE_NO_AUTO_CHAIN);
  SSL_CTX_set_default_passwd_cb(FHandle, &RefusePassphrase);
  SSL_CTX_set_cert_verify_callback(FHandle, &TIdTLSContext::VerifyChain, this);
  // No renegotiation, asked for by either side: it would run a handshake, and the program's
  // check of the peer, in the middle of a read; TLS 1.3 has none.
  SSL_CTX_set_options(FHandle, SSL_OP_NO_RENEGOTIATION);
  if (ARole == TIdTLSRole::trServer) {
    // The server picks by its own order, not the client's, so that a client that prefers a
    // weaker suite it shares with the server does not get it.
    SSL_CTX_set_options(FHandle, SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_session_id_context(FHandle, SessionIdContext, sizeof(SessionIdContext) - 1);
    SSL_CTX_set_alpn_select_cb(FHandle, &TIdTLSContext::SelectALPN, this);
    FServerNames = std::make_unique<TLSDetail::TServerNames>();
    SSL_CTX_set_tlsext_servername_callback(FHandle, &TIdTLSContext::SelectCertificate);
    SSL_CTX_set_tlsext_servername_arg(FHandle, this);
  }
  ApplyVerifyMode();
}

TIdTLSContext::~TIdTLSContext() {
  SSL_CTX_free(FHandle);
}

void TIdTLSContext::RequireRole(TIdTLSRole ARole, const char* ASetting) const {
  if (FRole == ARole) return;
  throw EIdTLSSetupError(
      Format(ARole == TIdTLSRole::trClient ? RS::RSTLSClientRoleOnly : RS::RSTLSServerRoleOnly,
             {std::string(ASetting)}));
}

void TIdTLSContext::UseCertificateChainFile(const std::string& AFileName) {
  ERR_clear_error();
  Check(SSL_CTX_use_certificate_chain_file(FHandle, AFileName.c_str()), AFileName);
}

void TIdTLSContext::UseCertificateChain(const std::string& APem) {
  ERR_clear_error();
  TBioPtr Bio = MemoryBio(APem);
  X509* Certificate = PEM_read_bio_X509_AUX(Bio.get(), nullptr, nullptr, nullptr);
  if (!Certificate) RaiseSetupError("certificate");
  const int Used = SSL_CTX_use_certificate(FHandle, Certificate);
  X509_free(Certificate);
  Check(Used, "certificate");
  SSL_CTX_clear_chain_certs(FHandle);
  while (X509* Issuer = PEM_read_bio_X509(Bio.get(), nullptr, nullptr, nullptr)) {
    if (SSL_CTX_add0_chain_cert(FHandle, Issuer) != 1) {
      X509_free(Issuer);
      RaiseSetupError("certificate chain");
    }
  }
  // The loop ends on the end of the text, which OpenSSL files as an error.
  ERR_clear_error();
}

void TIdTLSContext::UsePrivateKeyFile(const std::string& AFileName) {
  ERR_clear_error();
  TBioPtr Bio(BIO_new_file(AFileName.c_str(), "r"));
  if (!Bio) RaiseSetupError(AFileName);
  UseReadPrivateKey(Bio.get(), AFileName);
}

void TIdTLSContext::UsePrivateKey(const std::string& APem) {
  ERR_clear_error();
  TBioPtr Bio = MemoryBio(APem);
  UseReadPrivateKey(Bio.get(), "private key");
}

// One key read: the passphrase callback's exception, kept until OpenSSL has returned.
struct TIdTLSContext::TPassphraseRequest {
  TIdTLSContext& Context;
  std::exception_ptr Failure;
};

void TIdTLSContext::UseReadPrivateKey(BIO* ABio, const std::string& AWhat) {
  TPassphraseRequest Request{*this, nullptr};
  EVP_PKEY* Key = PEM_read_bio_PrivateKey(ABio, nullptr, &AnswerPassphrase, &Request);
  if (Request.Failure) {
    EVP_PKEY_free(Key);
    ERR_clear_error();
    std::rethrow_exception(Request.Failure);
  }
  if (!Key) RaiseSetupError(AWhat);
  const int Used = SSL_CTX_use_PrivateKey(FHandle, Key);
  EVP_PKEY_free(Key);
  Check(Used, AWhat);
  Check(SSL_CTX_check_private_key(FHandle), AWhat);
}

// OpenSSL asks only for an encrypted key. The text set wins over the event; with neither, the
// key is refused.
int TIdTLSContext::AnswerPassphrase(char* ABuffer, int ASize, int, void* AArg) {
  auto& Request = *static_cast<TPassphraseRequest*>(AArg);
  std::string Passphrase;
  try {
    if (Request.Context.FPassphrase)
      Passphrase = *Request.Context.FPassphrase;
    else if (Request.Context.OnPassphrase) {
      AssertNoLockHeld("OnPassphrase");
      Passphrase = Request.Context.OnPassphrase();
    } else
      return -1;
  } catch (...) {
    Request.Failure = std::current_exception();
    return -1;
  }
  if (Passphrase.size() > static_cast<size_t>(ASize)) return -1;
  std::memcpy(ABuffer, Passphrase.data(), Passphrase.size());
  return static_cast<int>(Passphrase.size());
}

bool TIdTLSContext::HasCertificate() const {
  if (SSL_CTX_get0_certificate(FHandle) && SSL_CTX_get0_privatekey(FHandle)) return true;
  return FServerNames && FServerNames->HasDefault();
}

void TIdTLSContext::AddServerName(const std::string& AName,
                                  std::shared_ptr<const TIdTLSContext> ACertificate) {
  RequireRole(TIdTLSRole::trServer, "AddServerName");
  if (!ACertificate || !ACertificate->HasCertificate())
    throw EIdTLSSetupError(RS::RSTLSNoCertificate);
  FServerNames->Set(AName, std::move(ACertificate));
}

void TIdTLSContext::RemoveServerName(const std::string& AName) {
  RequireRole(TIdTLSRole::trServer, "RemoveServerName");
  FServerNames->Set(AName, nullptr);
}

void TIdTLSContext::ReplaceCertificate(std::shared_ptr<const TIdTLSContext> ACertificate) {
  RequireRole(TIdTLSRole::trServer, "ReplaceCertificate");
  if (ACertificate && !ACertificate->HasCertificate())
    throw EIdTLSSetupError(RS::RSTLSNoCertificate);
  FServerNames->SetDefault(std::move(ACertificate));
}

// Runs early in each server handshake, once the client's hello is read. The session's own
// copy of the certificate slots is emptied first, so that a key of another type left from the
// context cannot be chosen instead. A client that names no added name keeps the default and is
// not acknowledged, as without this callback.
int TIdTLSContext::SelectCertificate(SSL* ASession, int* AAlert, void* AArg) {
  const auto* Self = static_cast<const TIdTLSContext*>(AArg);
  bool Named = false;
  const std::shared_ptr<const TIdTLSContext> Source =
      Self->FServerNames->Find(SSL_get_servername(ASession, TLSEXT_NAMETYPE_host_name), Named);
  if (!Source) return SSL_TLSEXT_ERR_NOACK;
  SSL_CTX* From = Source->Handle();
  STACK_OF(X509)* Chain = nullptr;
  SSL_CTX_get0_chain_certs(From, &Chain);
  SSL_certs_clear(ASession);
  if (SSL_use_cert_and_key(ASession, SSL_CTX_get0_certificate(From), SSL_CTX_get0_privatekey(From),
                           Chain, 1) != 1) {
    *AAlert = SSL_AD_INTERNAL_ERROR;
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  }
  return Named ? SSL_TLSEXT_ERR_OK : SSL_TLSEXT_ERR_NOACK;
}

// The first trust given replaces the store that the system's roots would go into.
void TIdTLSContext::UseOwnTrustStore() {
  if (FOwnTrust) return;
  X509_STORE* Store = X509_STORE_new();
  if (!Store) RaiseSetupError("trust store");
  SSL_CTX_set_cert_store(FHandle, Store);
  FOwnTrust = true;
}

void TIdTLSContext::LoadTrustFile(const std::string& AFileName) {
  ERR_clear_error();
  UseOwnTrustStore();
  Check(SSL_CTX_load_verify_file(FHandle, AFileName.c_str()), AFileName);
}

void TIdTLSContext::LoadTrust(const std::string& APem) {
  ERR_clear_error();
  UseOwnTrustStore();
  TBioPtr Bio = MemoryBio(APem);
  X509_STORE* Store = SSL_CTX_get_cert_store(FHandle);
  int Loaded = 0;
  while (X509* Certificate = PEM_read_bio_X509(Bio.get(), nullptr, nullptr, nullptr)) {
    const int Added = X509_STORE_add_cert(Store, Certificate);
    X509_free(Certificate);
    Check(Added, "trusted certificate");
    ++Loaded;
  }
  if (Loaded == 0) RaiseSetupError("trusted certificates");
  ERR_clear_error();
}

void TIdTLSContext::SetVerifyPeer(bool AValue) {
  RequireRole(TIdTLSRole::trClient, "VerifyPeer");
  FVerifyPeer = AValue;
  ApplyVerifyMode();
}

void TIdTLSContext::SetClientCertificate(TIdTLSClientCertificate AValue) {
  RequireRole(TIdTLSRole::trServer, "ClientCertificate");
  FClientCertificate = AValue;
  ApplyVerifyMode();
}

bool TIdTLSContext::ChecksPeer() const noexcept {
  return FRole == TIdTLSRole::trClient ? FVerifyPeer
                                       : FClientCertificate != TIdTLSClientCertificate::ccNone;
}

// OpenSSL's own check of the chain (with the host name), then the program's verdict on it.
int TIdTLSContext::VerifyChain(X509_STORE_CTX* AStore, void* AArg) {
  const auto* Self = static_cast<const TIdTLSContext*>(AArg);
  const int Verified = X509_verify_cert(AStore);
  if (!Self->OnVerifyPeer || !Self->ChecksPeer()) return Verified;
  const std::string Failure =
      Verified == 1 ? std::string()
                    : std::string(X509_verify_cert_error_string(X509_STORE_CTX_get_error(AStore)));
  std::vector<TIdTLSCertificate> Chain;
  STACK_OF(X509)* Sent = X509_STORE_CTX_get0_untrusted(AStore);
  for (int I = 0; Sent && I < sk_X509_num(Sent); ++I)
    Chain.emplace_back(sk_X509_value(Sent, I));
  if (Chain.empty()) Chain.emplace_back(X509_STORE_CTX_get0_cert(AStore));
  bool Accepted = false;
  AssertNoLockHeld("OnVerifyPeer");
  try {
    Accepted = Self->OnVerifyPeer(Chain, Failure);
  } catch (...) {
    Accepted = false; // never through OpenSSL's frames
  }
  if (Accepted) {
    X509_STORE_CTX_set_error(AStore, X509_V_OK);
    return 1;
  }
  if (Verified == 1) X509_STORE_CTX_set_error(AStore, X509_V_ERR_APPLICATION_VERIFICATION);
  return 0;
}

void TIdTLSContext::ApplyVerifyMode() {
  int Mode = SSL_VERIFY_NONE;
  if (FRole == TIdTLSRole::trClient && FVerifyPeer) Mode = SSL_VERIFY_PEER;
  if (FRole == TIdTLSRole::trServer && FClientCertificate != TIdTLSClientCertificate::ccNone)
    Mode = SSL_VERIFY_PEER;
  if (FClientCertificate == TIdTLSClientCertificate::ccRequire)
    Mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
  SSL_CTX_set_verify(FHandle, Mode, nullptr);
}

void TIdTLSContext::SetALPNProtocols(const std::vector<std::string>& AValue) {
  std::string Wire;
  for (const std::string& Protocol : AValue) {
    if (Protocol.empty() || Protocol.size() > 255)
      throw EIdTLSSetupError(Format(
          RS::RSTLSSetupFailed, {"ALPN protocol of length " + std::to_string(Protocol.size())}));
    Wire += static_cast<char>(Protocol.size());
    Wire += Protocol;
  }
  FALPNProtocols = AValue;
  FALPNWire = Wire;
  if (FRole == TIdTLSRole::trClient) {
    // This call alone answers 0 for success.
    const auto* Bytes = reinterpret_cast<const unsigned char*>(FALPNWire.data());
    if (SSL_CTX_set_alpn_protos(FHandle, Bytes, static_cast<unsigned>(FALPNWire.size())) != 0)
      RaiseSetupError("ALPN");
  }
}

// The server's choice: its own most preferred protocol that the client offers. Without a
// common one the handshake ends with the no_application_protocol alert.
int TIdTLSContext::SelectALPN(SSL*, const unsigned char** AOut, unsigned char* AOutLength,
                              const unsigned char* AOffered, unsigned int AOfferedLength,
                              void* AArg) {
  const auto* Self = static_cast<const TIdTLSContext*>(AArg);
  if (Self->FALPNWire.empty()) return SSL_TLSEXT_ERR_NOACK;
  unsigned char* Chosen = nullptr;
  const auto* Own = reinterpret_cast<const unsigned char*>(Self->FALPNWire.data());
  if (SSL_select_next_proto(&Chosen, AOutLength, Own, static_cast<unsigned>(Self->FALPNWire.size()),
                            AOffered, AOfferedLength) != OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  *AOut = Chosen;
  return SSL_TLSEXT_ERR_OK;
}

void TIdTLSContext::SetCipherList(const std::string& AValue) {
  ERR_clear_error();
  Check(SSL_CTX_set_cipher_list(FHandle, AValue.c_str()), "cipher list " + AValue);
}

void TIdTLSContext::SetCipherSuites(const std::string& AValue) {
  ERR_clear_error();
  Check(SSL_CTX_set_ciphersuites(FHandle, AValue.c_str()), "cipher suites " + AValue);
}

void TIdTLSContext::SetMinimumVersion(TIdTLSVersion AValue) {
  ERR_clear_error();
  const int Version = AValue == TIdTLSVersion::tvTLS13 ? TLS1_3_VERSION : TLS1_2_VERSION;
  Check(SSL_CTX_set_min_proto_version(FHandle, Version), "minimum version");
}

void TIdTLSContext::SetSessionResumption(bool AValue) {
  RequireRole(TIdTLSRole::trServer, "SessionResumption");
  SSL_CTX_set_session_cache_mode(FHandle, AValue ? SSL_SESS_CACHE_SERVER : SSL_SESS_CACHE_OFF);
  if (AValue) {
    SSL_CTX_clear_options(FHandle, SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(FHandle, 2);
  } else {
    SSL_CTX_set_options(FHandle, SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(FHandle, 0);
  }
}

SSL* TIdTLSContext::NewSession() const {
  ERR_clear_error();
  std::call_once(FTrustLoaded, [this] {
    // Without trust of its own a side that checks its peer trusts the system's roots.
    if (!FOwnTrust && ChecksPeer()) SSL_CTX_set_default_verify_paths(FHandle);
    ERR_clear_error(); // a missing system folder is no failure of this session
  });
  SSL* Session = SSL_new(FHandle);
  if (!Session) RaiseSetupError("session");
  return Session;
}

} // namespace Id
