#include "tls/IdTLSContext.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <utility>

#include "runtime/SysUtils.h"
#include "runtime/Thread.h"
#include "tls/IdTLSErrorText.h"
#include "tls/IdTLSExceptions.h"

namespace Id {

namespace {

// The id under which a server files its sessions; resumption with client certificates
// requires one.
constexpr unsigned char SessionIdContext[] = "IdTLS";

[[noreturn]] void RaiseSetupError(const std::string& AWhat) {
  throw EIdTLSSetupError(
      Format(RS::RSTLSSetupFailed, {AWhat + ": " + TakeTLSErrorText("refused")}));
}

void Check(int AResult, const std::string& AWhat) {
  if (AResult != 1) RaiseSetupError(AWhat);
}

struct TBioFree {
  void operator()(BIO* ABio) const { BIO_free(ABio); }
};
using TBioPtr = std::unique_ptr<BIO, TBioFree>;

TBioPtr MemoryBio(const std::string& APem) {
  TBioPtr Bio(BIO_new_mem_buf(APem.data(), static_cast<int>(APem.size())));
  if (!Bio) RaiseSetupError("memory");
  return Bio;
}

// Whether the calling thread has entered OpenSSL since its last body began.
thread_local bool UsedOpenSSL = false;

// A thread that served a body with a session lets go of OpenSSL's state for the thread (its
// error queue among it) before it serves the next body or waits parked: the next session's
// failures carry their own reasons, and no state of OpenSSL's stays with a parked thread,
// which OpenSSL's own clean-up at process end could not reach. A thread that never entered
// OpenSSL costs nothing.
const bool ThreadStateResetRegistered = [] {
  RegisterThreadRunReset([] {
    if (std::exchange(UsedOpenSSL, false)) OPENSSL_thread_stop();
  });
  return true;
}();

} // namespace

void NoteOpenSSLOnThisThread() noexcept {
  UsedOpenSSL = true;
}

TIdTLSContext::TIdTLSContext(TIdTLSRole ARole) : FRole(ARole) {
  (void)ThreadStateResetRegistered;
  NoteOpenSSLOnThisThread();
  ERR_clear_error();
  FHandle = SSL_CTX_new(ARole == TIdTLSRole::trClient ? TLS_client_method() : TLS_server_method());
  if (!FHandle) RaiseSetupError("context");
  SSL_CTX_set_min_proto_version(FHandle, TLS1_2_VERSION);
  // Reading ahead takes whole records (and more) per receive instead of a header and a body.
  SSL_CTX_set_read_ahead(FHandle, 1);
  // The chain sent is the one given, not one built anew from the trust store at each handshake.
  SSL_CTX_set_mode(FHandle, SSL_MODE_NO_AUTO_CHAIN);
  if (ARole == TIdTLSRole::trServer) {
    SSL_CTX_set_session_id_context(FHandle, SessionIdContext, sizeof(SessionIdContext) - 1);
    SSL_CTX_set_alpn_select_cb(FHandle, &TIdTLSContext::SelectALPN, this);
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
  Check(SSL_CTX_use_PrivateKey_file(FHandle, AFileName.c_str(), SSL_FILETYPE_PEM), AFileName);
  Check(SSL_CTX_check_private_key(FHandle), AFileName);
}

void TIdTLSContext::UsePrivateKey(const std::string& APem) {
  ERR_clear_error();
  TBioPtr Bio = MemoryBio(APem);
  EVP_PKEY* Key = PEM_read_bio_PrivateKey(Bio.get(), nullptr, nullptr, nullptr);
  if (!Key) RaiseSetupError("private key");
  const int Used = SSL_CTX_use_PrivateKey(FHandle, Key);
  EVP_PKEY_free(Key);
  Check(Used, "private key");
  Check(SSL_CTX_check_private_key(FHandle), "private key");
}

bool TIdTLSContext::HasCertificate() const {
  return SSL_CTX_get0_certificate(FHandle) && SSL_CTX_get0_privatekey(FHandle);
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
    const bool Checks = FRole == TIdTLSRole::trClient
                            ? FVerifyPeer
                            : FClientCertificate != TIdTLSClientCertificate::ccNone;
    if (!FOwnTrust && Checks) SSL_CTX_set_default_verify_paths(FHandle);
    ERR_clear_error(); // a missing system folder is no failure of this session
  });
  SSL* Session = SSL_new(FHandle);
  if (!Session) RaiseSetupError("session");
  return Session;
}

} // namespace Id
