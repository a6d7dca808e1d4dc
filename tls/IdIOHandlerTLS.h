// SPDX-License-Identifier: MIT
// The TLS transport: a socket transport whose bytes pass through a TLS session, from the connect
// or accept on (implicit TLS) or from StartTLS on (a switch in place after a protocol command).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/runtime/CriticalSection.h"
#include "idframework/runtime/Export.h"
#include "idframework/tls/IdTLSContext.h"
#include "idframework/tls/IdTLSEngine.h"

namespace Id {

class TIdIOHandlerTLS;

/// When a transport starts TLS: at once (after the connect, or on the peer thread before the
/// greeting), or only when StartTLS is called.
enum class TIdTLSMode { tmImplicit, tmExplicit };

/// A handshake failed; fired on the thread that ran it, before the failure is raised.
using TIdTLSHandshakeFailureEvent =
    std::function<void(TIdIOHandlerTLS& ATransport, const Exception& AException)>;

/// A TIdIOHandlerSocket with TLS. While TLS is on, every send and receive of the connection goes
/// through the session, whose records go straight through the socket handle, so a CloseIO from
/// another thread wakes a handshake or a read exactly as it wakes a plain one. A failed handshake
/// closes the socket.
///
/// Threads: as TIdIOHandlerSocket. The session is used by the thread that uses the connection,
/// which holds the session's lock for each call into it. CloseIO never waits for that lock: when
/// the session is idle it ends it with the close_notify alert (sent only when the socket takes
/// it at once), and in every case it closes the socket, which wakes a call under way.
///
/// \see The guide: \ref guide-tls, \ref guide-starttls, \ref guide-tls-resumption.
class ID_API TIdIOHandlerTLS : public TIdIOHandlerSocket {
public:
  /// Implicit TLS, a 5000 ms handshake limit, no context yet (see Context); UseNagle false, so
  /// that a record never waits for the acknowledgement of the one before.
  explicit TIdIOHandlerTLS(TComponent* AOwner);
  ~TIdIOHandlerTLS() override;

  // Settings (before the connect or the switch) ------------------------------------------------

  /// The context of the sessions. Without one set, a client context is made (and shared with
  /// nobody) on first use.
  TIdTLSContext& Context();
  /// Shares AValue with other transports; its role decides the side of the handshake.
  void SetContext(std::shared_ptr<TIdTLSContext> AValue);
  /// The name the server's certificate is checked against and sent as the server name.
  /// Default empty: the host given to ConnectTo.
  const std::string& HostName() const noexcept { return FHostName; }
  void SetHostName(const std::string& AValue) { FHostName = AValue; }
  /// Client: a session of an earlier connection to the same server (Session()->SavedSession()),
  /// offered by the handshakes that follow for resumption. Default none.
  void SetOfferedSession(const TIdTLSSavedSession& AValue) { FOfferedSession = AValue; }
  /// TLS from the first byte (default) or after StartTLS, and its setter.
  TIdTLSMode Mode() const noexcept { return FMode; }
  void SetMode(TIdTLSMode AValue) noexcept { FMode = AValue; }
  /// The most a handshake may take, in ms; 0 or less: no limit. Default 5000.
  int32_t HandshakeTimeout() const noexcept { return FHandshakeTimeout; }
  void SetHandshakeTimeout(int32_t AValue) noexcept { FHandshakeTimeout = AValue; }
  /// Says why a handshake failed. Runs on the connection's thread.
  TIdTLSHandshakeFailureEvent OnHandshakeFailure;

  // TLS ------------------------------------------------------------------------------------------

  /// Runs the handshake on the open socket and turns TLS on. Connection's thread. Raises
  /// EIdTLSStartRefused when TLS is on already, EIdClosedSocket when not open, the handshake's
  /// failures (the socket is then closed), or EIdConnClosedGracefully for a close meanwhile.
  /// The connection's StartTLS (IdStartTLS.h) also refuses unread plain input.
  void StartTLS();
  /// True once a handshake has succeeded on the current socket. Any thread.
  bool TLSActive() const noexcept { return FActive.load(); }
  /// The established session (ALPN, version, cipher, peer); nullptr while TLS is off.
  /// Connection's thread.
  const TIdTLSEngine* Session() const noexcept;

  // The transport ------------------------------------------------------------------------------

  /// Drops the session, then as TIdIOHandlerSocket.
  void OpenIO() override;
  /// When no call into the session is under way, first the close_notify alert (when the socket
  /// takes it at once); then as TIdIOHandlerSocket. Any thread.
  void CloseIO() override;
  /// The socket transport's connect (with its SOCKS negotiation), then, in implicit mode, the
  /// client handshake. Raises what the connect raises and the handshake's failures.
  void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
                 int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax,
                 int32_t ATimeout) override;
  /// Implicit mode: the server handshake, under HandshakeTimeout. Peer thread.
  void AcceptCompleted() override;
  /// True at once when the session holds unread bytes; else the socket's wait.
  bool AwaitReadable(int32_t ATimeout) override;
  /// Plain bytes; 0 after the peer's close_notify; -1 for a socket failure. Raises
  /// EIdTLSUnexpectedEOF, EIdTLSProtocolError, and what the socket transport raises.
  int32_t ReceiveBytes(void* ABuffer, int32_t ALength) override;
  /// As ReceiveBytes, but none when ATimeout ms pass without a whole record.
  std::optional<int32_t> ReceiveWhenReadable(void* ABuffer, int32_t ALength,
                                             int32_t ATimeout) override;
  /// Plain bytes sent (all of ALength) or -1 for a socket failure; raises EIdTLSProtocolError.
  int32_t SendBytes(const void* ABuffer, int32_t ALength) override;
  /// False while TLS is on: the kernel's whole-file send cannot encrypt.
  bool WholeFileSendAllowed() override;

private:
  struct TSession; // the engine and its pipe over the socket handle (see the .cpp)

  int32_t ReadPlain(void* ABuffer, int32_t ALength,
                    std::optional<std::chrono::steady_clock::time_point> ADeadline);
  void RunHandshake();
  void FailHandshake(const Exception& AException);
  void EndSession();
  std::string PeerName() const;
  bool CarriesPlain() const noexcept { return !FActive.load(); }

  std::shared_ptr<TIdTLSContext> FContext; // shared with the server handler and its transports
  // Held by the connection's thread for every call into an active session, and by a close that
  // finds it free; no user code runs under it.
  TMutex FSessionLock;
  // The session of the current socket; made and dropped under FSessionLock.
  std::unique_ptr<TSession> FSession;
  std::atomic<bool> FActive{false};
  std::string FHostName;
  std::string FConnectHost; // the host of the last ConnectTo
  TIdTLSSavedSession FOfferedSession;
  TIdTLSMode FMode = TIdTLSMode::tmImplicit;
  int32_t FHandshakeTimeout = 5000;
};

} // namespace Id
