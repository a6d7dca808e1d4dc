// SPDX-License-Identifier: MIT
// One TLS session over a byte pipe: the handshake, reading, writing and the closing alert, with
// OpenSSL's failures turned into the framework's exceptions.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "idframework/runtime/Export.h"
#include "idframework/tls/IdTLSCertificate.h"
#include "idframework/tls/IdTLSContext.h"
#include "idframework/tls/IdTLSSavedSession.h"

namespace Id {

class TIdTLSPipe;
namespace TLSDetail {
struct TEngineBio;
}

/// A session of a context, whose records travel through a pipe: the transport's socket, made by
/// TIdIOHandlerTLS (a program sees it through Session()), or memory in the library's own tests
/// (the pipe is plumbing, tls/detail/IdTLSPipe.h). Used by one thread at a time; nothing of it
/// may be called from another thread during a call.
class ID_API TIdTLSEngine {
public:
  /// A session in AContext's role over APipe (not owned; must outlive the engine). A client
  /// checks the server against APeerName and sends it as the server name, unless it is an IP
  /// address (checked against the certificate's addresses, not sent). Raises EIdTLSSetupError.
  TIdTLSEngine(std::shared_ptr<const TIdTLSContext> AContext, TIdTLSPipe& APipe,
               const std::string& APeerName);
  ~TIdTLSEngine();
  TIdTLSEngine(const TIdTLSEngine&) = delete;
  TIdTLSEngine& operator=(const TIdTLSEngine&) = delete;

  /// Client, before the handshake: offers ASession (of an earlier connection to the same
  /// server) for resumption; an empty one, or a server, makes no offer. Raises EIdTLSSetupError
  /// when OpenSSL refuses it.
  void OfferSession(const TIdTLSSavedSession& ASession);

  /// Runs the handshake on: true once it is complete, false when the pipe had no bytes now
  /// (call again to go on). Raises EIdTLSCertificateError, EIdTLSHandshakeError, or what the
  /// pipe raised.
  bool Handshake();
  /// Plain bytes read (1..ALength); 0 when the peer ended the session (close_notify);
  /// TIdTLSPipe::NoBytesNow; -1 for a socket failure (the stack's last error tells which).
  /// Raises EIdTLSUnexpectedEOF when the stream ends without close_notify,
  /// EIdTLSProtocolError, or what the pipe raised.
  int32_t Read(void* ABuffer, int32_t ALength);
  /// Plain bytes written (1..ALength, all of them unless the pipe failed) or -1 for a socket
  /// failure. Raises EIdTLSProtocolError or what the pipe raised.
  int32_t Write(const void* ABuffer, int32_t ALength);
  /// True when plain bytes (or records not yet opened) wait inside the session.
  bool HasPending() const;
  /// Sends the close_notify alert once, without waiting for the peer's; never raises.
  void Shutdown() noexcept;

  /// True once the handshake is complete and no failure has broken the session since.
  bool Established() const noexcept { return FEstablished && !FBroken; }
  /// The protocol the handshake agreed on by ALPN; empty when none.
  std::string ALPNProtocol() const;
  /// The server name the client sent (SNI); empty when none.
  std::string ServerName() const;
  /// The subject of the peer's certificate in one line; empty when it sent none.
  std::string PeerSubject() const;
  /// "TLSv1.3", "TLSv1.2".
  std::string ProtocolVersion() const;
  /// The cipher suite's name.
  std::string CipherName() const;
  /// Whether the handshake resumed an earlier session.
  bool SessionReused() const;
  /// The session as it stands, for a client to offer on a later connection (OfferSession).
  /// Under TLS 1.3 it becomes resumable once the server's ticket was read, with the first
  /// data after the handshake.
  TIdTLSSavedSession SavedSession() const;
  /// The peer's certificate; empty when it sent none.
  TIdTLSCertificate PeerCertificate() const;
  /// The peer's chain as it was sent, its own certificate first; empty when it sent none. A
  /// resumed session may hold the peer's own certificate only.
  std::vector<TIdTLSCertificate> PeerCertificateChain() const;

private:
  friend struct TLSDetail::TEngineBio; // OpenSSL's reads, writes and flushes of the pipe
  int FromPipe(BIO* ABio, char* AData, int ALength);
  int ToPipe(BIO* ABio, const char* AData, int ALength);
  int FlushFromBio(BIO* ABio);
  void PrepareClient(const std::string& APeerName);
  void ResetCallState();
  void RethrowPipeFailure();
  [[noreturn]] void RaiseHandshakeFailure(int AError);
  [[noreturn]] void RaiseSessionFailure(int AError);
  std::string SocketFailureText() const;
  bool SendOutgoing();
  void FlushAfterCall();

  std::shared_ptr<const TIdTLSContext> FContext; // shared with the other sessions
  TIdTLSPipe& FPipe;                             // not owned
  struct TSessionFree {
    void operator()(SSL* ASession) const noexcept;
  };
  std::unique_ptr<SSL, TSessionFree> FSession; // owned, with its BIO
  bool FEstablished = false;
  bool FBroken = false;
  // What happened inside the pipe during the current call.
  std::exception_ptr FPipeFailure;
  bool FSocketFailed = false;
  bool FPipeEnded = false;
  // Records written by OpenSSL and not yet sent: a handshake flight or the records of one write
  // go out in one send, and the flight is out before the engine waits for the answer.
  std::string FOutgoing;
};

} // namespace Id
