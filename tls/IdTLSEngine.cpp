// SPDX-License-Identifier: MIT
#include "idframework/tls/IdTLSEngine.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <utility>

#include "idframework/net/IdStack.h"
#include "idframework/runtime/SysUtils.h"
#include "idframework/tls/IdTLSExceptions.h"
#include "idframework/tls/detail/IdTLSErrorText.h"
#include "idframework/tls/detail/IdTLSPipe.h"
#include "idframework/tls/detail/IdTLSThreadState.h"

namespace Id {

// The engine's BIO: OpenSSL reads and writes records through it, and the engine's pipe carries
// them.
struct TLSDetail::TEngineBio {
  static TIdTLSEngine& EngineOf(BIO* ABio) {
    return *static_cast<TIdTLSEngine*>(BIO_get_data(ABio));
  }

  static int Read(BIO* ABio, char* AData, int ALength) {
    return EngineOf(ABio).FromPipe(ABio, AData, ALength);
  }

  static int Write(BIO* ABio, const char* AData, int ALength) {
    return EngineOf(ABio).ToPipe(ABio, AData, ALength);
  }

  // A flush sends what the engine holds; no other control applies.
  static long Control(BIO* ABio, int ACommand, long, void*) {
    return ACommand == BIO_CTRL_FLUSH ? EngineOf(ABio).FlushFromBio(ABio) : 0;
  }
};

namespace {

// Held records are sent once this many have gathered, without waiting for the end of the call.
constexpr size_t OutgoingLimit = 64 * 1024;
// A larger buffer left by a bulk write is given back after it was sent.
constexpr size_t OutgoingKept = 16 * 1024;

// The BIO kind that passes records to a TIdTLSPipe; made once, kept for the whole process.
BIO_METHOD* PipeMethod() {
  static BIO_METHOD* const Method = [] {
    BIO_METHOD* M = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "IdTLSPipe");
    if (M) {
      BIO_meth_set_read(M, &TLSDetail::TEngineBio::Read);
      BIO_meth_set_write(M, &TLSDetail::TEngineBio::Write);
      BIO_meth_set_ctrl(M, &TLSDetail::TEngineBio::Control);
    }
    return M;
  }();
  return Method;
}

std::string TextOrEmpty(const char* AText) {
  return AText ? std::string(AText) : std::string();
}

} // namespace

void TIdTLSEngine::TSessionFree::operator()(SSL* ASession) const noexcept {
  SSL_free(ASession);
}

TIdTLSEngine::TIdTLSEngine(std::shared_ptr<const TIdTLSContext> AContext, TIdTLSPipe& APipe,
                           const std::string& APeerName)
    : FContext(std::move(AContext)), FPipe(APipe) {
  NoteOpenSSLOnThisThread();
  FSession.reset(FContext->NewSession());
  BIO* Bio = PipeMethod() ? BIO_new(PipeMethod()) : nullptr;
  if (!Bio) throw EIdTLSSetupError(Format(RS::RSTLSSetupFailed, {TakeTLSErrorText("no BIO")}));
  BIO_set_data(Bio, this);
  BIO_set_init(Bio, 1);
  SSL_set_bio(FSession.get(), Bio, Bio); // the session owns it now
  if (FContext->Role() == TIdTLSRole::trServer) {
    SSL_set_accept_state(FSession.get());
    return;
  }
  SSL_set_connect_state(FSession.get());
  PrepareClient(APeerName);
}

TIdTLSEngine::~TIdTLSEngine() = default;

// The server name goes out unless it is an address (IPv4 or IPv6); the check matches the
// certificate's names, or its addresses for an address (an IPv6 scope names a local interface,
// not the peer, and is left out).
void TIdTLSEngine::PrepareClient(const std::string& APeerName) {
  const bool IsAddress = TIdStack::IPVersionOfText(APeerName).has_value();
  if (!APeerName.empty() && !IsAddress) SSL_set_tlsext_host_name(FSession.get(), APeerName.c_str());
  if (!FContext->VerifyPeer()) return;
  if (APeerName.empty()) throw EIdTLSStartRefused(RS::RSTLSNoHostName);
  const std::string Address = APeerName.substr(0, APeerName.find('%'));
  const int Set =
      IsAddress ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSession.get()), Address.c_str())
                : SSL_set1_host(FSession.get(), APeerName.c_str());
  if (Set != 1)
    throw EIdTLSSetupError(
        Format(RS::RSTLSSetupFailed, {APeerName + ": " + TakeTLSErrorText("bad peer name")}));
}

void TIdTLSEngine::OfferSession(const TIdTLSSavedSession& ASession) {
  if (ASession.Empty() || FContext->Role() != TIdTLSRole::trClient) return;
  ERR_clear_error();
  if (SSL_set_session(FSession.get(), ASession.Handle()) != 1)
    throw EIdTLSSetupError(Format(RS::RSTLSSetupFailed, {TakeTLSErrorText("saved session")}));
}

void TIdTLSEngine::ResetCallState() {
  NoteOpenSSLOnThisThread(); // every call into the session begins here
  ERR_clear_error();
  FPipeFailure = nullptr;
  FSocketFailed = false;
  FPipeEnded = false;
}

// An exception of the pipe (a close by another thread, a closed socket) ends the session and
// reaches the caller as it was raised.
void TIdTLSEngine::RethrowPipeFailure() {
  if (!FPipeFailure) return;
  FBroken = true;
  ERR_clear_error();
  std::rethrow_exception(std::exchange(FPipeFailure, nullptr));
}

bool TIdTLSEngine::Handshake() {
  ResetCallState();
  const int Result = SSL_do_handshake(FSession.get());
  FlushAfterCall();
  RethrowPipeFailure();
  if (Result == 1 && !FSocketFailed) {
    FEstablished = true;
    return true;
  }
  const int Error = SSL_get_error(FSession.get(), Result);
  if (Error == SSL_ERROR_WANT_READ || Error == SSL_ERROR_WANT_WRITE) return false;
  RaiseHandshakeFailure(Error);
}

std::string TIdTLSEngine::SocketFailureText() const {
  TIdStack* Stack = GlobalStack();
  return Stack ? Stack->SockErrorText(Stack->SockLastError()) : std::string("socket failure");
}

void TIdTLSEngine::RaiseHandshakeFailure(int AError) {
  FBroken = true;
  const long Verified = SSL_get_verify_result(FSession.get());
  if (Verified != X509_V_OK) {
    ERR_clear_error();
    throw EIdTLSCertificateError(Format(RS::RSTLSCertificateRejected,
                                        {TextOrEmpty(X509_verify_cert_error_string(Verified))}));
  }
  if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE)
    throw EIdTLSCertificateError(Format(RS::RSTLSCertificateRejected, {TakeTLSErrorText("")}));
  std::string Reason;
  if (FSocketFailed) {
    ERR_clear_error();
    Reason = SocketFailureText();
  } else if (FPipeEnded) {
    Reason = std::string(RS::RSTLSPeerClosedInHandshake) + " (" +
             TakeTLSErrorText("unexpected eof while reading") + ")";
  } else {
    Reason = TakeTLSErrorText("SSL error " + std::to_string(AError));
  }
  throw EIdTLSHandshakeError(Format(RS::RSTLSHandshakeFailed, {Reason}));
}

int32_t TIdTLSEngine::Read(void* ABuffer, int32_t ALength) {
  ResetCallState();
  const int Result = SSL_read(FSession.get(), ABuffer, ALength);
  FlushAfterCall();
  RethrowPipeFailure();
  if (Result > 0) return Result;
  const int Error = SSL_get_error(FSession.get(), Result);
  if (Error == SSL_ERROR_ZERO_RETURN && !FSocketFailed) return 0;
  if (Error == SSL_ERROR_WANT_READ || Error == SSL_ERROR_WANT_WRITE) return TIdTLSPipe::NoBytesNow;
  if (FSocketFailed) {
    FBroken = true;
    ERR_clear_error();
    return -1;
  }
  RaiseSessionFailure(Error);
}

int32_t TIdTLSEngine::Write(const void* ABuffer, int32_t ALength) {
  ResetCallState();
  const int Result = SSL_write(FSession.get(), ABuffer, ALength);
  FlushAfterCall();
  RethrowPipeFailure();
  if (Result > 0 && !FSocketFailed) return Result;
  const int Error = SSL_get_error(FSession.get(), Result);
  if (FSocketFailed) {
    FBroken = true;
    ERR_clear_error();
    return -1;
  }
  RaiseSessionFailure(Error);
}

void TIdTLSEngine::RaiseSessionFailure(int AError) {
  FBroken = true;
  if (FPipeEnded)
    throw EIdTLSUnexpectedEOF(
        Format(RS::RSTLSUnexpectedEOF, {TakeTLSErrorText("unexpected eof while reading")}));
  throw EIdTLSProtocolError(
      Format(RS::RSTLSFailed, {TakeTLSErrorText("SSL error " + std::to_string(AError))}));
}

bool TIdTLSEngine::HasPending() const {
  return FEstablished && SSL_has_pending(FSession.get()) == 1;
}

void TIdTLSEngine::Shutdown() noexcept {
  if (!Established()) return;
  ResetCallState();
  SSL_shutdown(FSession.get());
  FlushAfterCall();
  FOutgoing.clear();
  // A send that could not go out now, or a failed one, leaves the peer to see the plain close.
  FPipeFailure = nullptr;
  ERR_clear_error();
  FBroken = true;
}

int TIdTLSEngine::FromPipe(BIO* ABio, char* AData, int ALength) {
  BIO_clear_retry_flags(ABio);
  if (ALength <= 0) return 0;
  if (FPipeFailure) return -1;
  try {
    // Whatever the peer is to answer must be on its way first.
    if (!SendOutgoing()) return -1;
    const int32_t N = FPipe.PipeReceive(AData, ALength);
    if (N == TIdTLSPipe::NoBytesNow) {
      BIO_set_retry_read(ABio);
      return -1;
    }
    if (N == 0) FPipeEnded = true;
    if (N < 0) FSocketFailed = true;
    return N < 0 ? -1 : N;
  } catch (...) {
    // Never through OpenSSL's frames: kept for the caller of the engine.
    FPipeFailure = std::current_exception();
    return -1;
  }
}

int TIdTLSEngine::ToPipe(BIO* ABio, const char* AData, int ALength) {
  BIO_clear_retry_flags(ABio);
  if (ALength <= 0) return 0;
  if (FPipeFailure || FSocketFailed) return -1;
  FOutgoing.append(AData, static_cast<size_t>(ALength));
  if (FOutgoing.size() < OutgoingLimit) return ALength;
  try {
    SendOutgoing();
  } catch (...) {
    FPipeFailure = std::current_exception();
  }
  // Taken either way: what could not go out now stays held, a failure shows at the call's end.
  return ALength;
}

int TIdTLSEngine::FlushFromBio(BIO*) {
  if (FPipeFailure) return 0;
  try {
    return SendOutgoing() ? 1 : 0;
  } catch (...) {
    FPipeFailure = std::current_exception();
    return 0;
  }
}

// Sends the held records; false when the pipe failed (FSocketFailed) or took nothing now.
bool TIdTLSEngine::SendOutgoing() {
  size_t Sent = 0;
  bool Complete = true;
  while (Sent < FOutgoing.size()) {
    const auto Chunk = static_cast<int32_t>(std::min<size_t>(FOutgoing.size() - Sent, 1 << 30));
    const int32_t N = FPipe.PipeSend(FOutgoing.data() + Sent, Chunk);
    if (N == TIdTLSPipe::NoBytesNow || N <= 0) {
      FSocketFailed = N != TIdTLSPipe::NoBytesNow;
      Complete = false;
      break;
    }
    Sent += static_cast<size_t>(N);
  }
  FOutgoing.erase(0, Sent);
  if (FOutgoing.empty() && FOutgoing.capacity() > OutgoingKept) std::string().swap(FOutgoing);
  return Complete;
}

// At the end of each call nothing stays held: an exception of the pipe is kept for the caller.
void TIdTLSEngine::FlushAfterCall() {
  if (FOutgoing.empty() || FPipeFailure || FSocketFailed) return;
  try {
    SendOutgoing();
  } catch (...) {
    FPipeFailure = std::current_exception();
  }
}

std::string TIdTLSEngine::ALPNProtocol() const {
  const unsigned char* Data = nullptr;
  unsigned int Length = 0;
  SSL_get0_alpn_selected(FSession.get(), &Data, &Length);
  return Data ? std::string(reinterpret_cast<const char*>(Data), Length) : std::string();
}

std::string TIdTLSEngine::ServerName() const {
  return TextOrEmpty(SSL_get_servername(FSession.get(), TLSEXT_NAMETYPE_host_name));
}

std::string TIdTLSEngine::PeerSubject() const {
  X509* Peer = SSL_get1_peer_certificate(FSession.get());
  if (!Peer) return std::string();
  char Line[512] = {};
  X509_NAME_oneline(X509_get_subject_name(Peer), Line, sizeof(Line));
  X509_free(Peer);
  return Line;
}

std::string TIdTLSEngine::ProtocolVersion() const {
  return TextOrEmpty(SSL_get_version(FSession.get()));
}

std::string TIdTLSEngine::CipherName() const {
  return TextOrEmpty(SSL_get_cipher_name(FSession.get()));
}

bool TIdTLSEngine::SessionReused() const {
  return SSL_session_reused(FSession.get()) == 1;
}

// A copy: OpenSSL marks the session itself not resumable when the connection is freed without
// a close_notify of its own, which must not take the saved one with it.
TIdTLSSavedSession TIdTLSEngine::SavedSession() const {
  SSL_SESSION* Copy = nullptr;
  if (SSL_SESSION* Current = SSL_get0_session(FSession.get())) Copy = SSL_SESSION_dup(Current);
  TIdTLSSavedSession Saved(Copy);
  SSL_SESSION_free(Copy);
  return Saved;
}

TIdTLSCertificate TIdTLSEngine::PeerCertificate() const {
  return TIdTLSCertificate(SSL_get0_peer_certificate(FSession.get()));
}

// A client's list holds the server's own certificate first; a server's holds only the issuers
// the client sent after its own.
std::vector<TIdTLSCertificate> TIdTLSEngine::PeerCertificateChain() const {
  std::vector<TIdTLSCertificate> Chain;
  X509* Own = SSL_get0_peer_certificate(FSession.get());
  if (!Own) return Chain;
  Chain.emplace_back(Own);
  STACK_OF(X509)* Sent = SSL_get_peer_cert_chain(FSession.get());
  for (int I = 0; Sent && I < sk_X509_num(Sent); ++I)
    if (X509_cmp(sk_X509_value(Sent, I), Own) != 0) Chain.emplace_back(sk_X509_value(Sent, I));
  return Chain;
}

} // namespace Id
