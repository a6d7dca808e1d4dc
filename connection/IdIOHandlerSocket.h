// SPDX-License-Identifier: MIT
// The socket transport: a TIdSocketHandle under a connection, with outgoing connects (optionally
// under a timeout and through a SOCKS proxy).
#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "idframework/connection/IdIOHandler.h"
#include "idframework/connection/IdSocks.h"
#include "idframework/net/IdStack.h"
#include "idframework/runtime/CriticalSection.h"
#include "idframework/runtime/Export.h"

namespace Id {

class TIdConnectRace;
class TIdSocketHandle;

/// A transport over one stream socket. Used by the thread of its connection; CloseIO (and
/// IsOpen) may be called from any thread at any moment: the socket handle wakes a call blocked
/// in a wait, receive or send and keeps the descriptor until it has left.
class ID_API TIdIOHandlerSocket : public TIdIOHandler {
public:
  /// No socket handle exists until the first OpenIO; UseNagle is true.
  explicit TIdIOHandlerSocket(TComponent* AOwner);
  /// Frees owned SOCKS settings and the socket handle (closing an open socket).
  ~TIdIOHandlerSocket() override;

  /// Creates the socket handle, or clears the binding of the one used before. No socket yet.
  void OpenIO() override;
  /// Closes the socket (see TIdSocketHandle::CloseDescriptor); any thread.
  void CloseIO() override;
  /// True while the handle exists and holds an open socket that no thread has closed.
  bool IsOpen() override;
  /// Waits for input; raises EIdConnClosedGracefully "Connection Closed Gracefully." when the
  /// socket is closed (before or during the wait).
  bool AwaitReadable(int32_t ATimeout) override;
  /// Raw receive result; raises EIdClosedSocket "Disconnected." when not open.
  int32_t ReceiveBytes(void* ABuffer, int32_t ALength) override;
  std::optional<int32_t> ReceiveWhenReadable(void* ABuffer, int32_t ALength,
                                             int32_t ATimeout) override;
  /// ReceiveWhenReadable on AHandle alone (what a layer over the socket uses): the raw result of
  /// the receive, or none when ATimeout ms passed; EIdConnClosedGracefully when the socket is
  /// closed before or during the wait.
  static std::optional<int32_t> ReceiveWhenReadableOn(TIdSocketHandle& AHandle, void* ABuffer,
                                                      int32_t ALength, int32_t ATimeout);
  /// Raw send result (may be partial); raises EIdClosedSocket "Disconnected." when not open.
  int32_t SendBytes(const void* ABuffer, int32_t ALength) override;
  /// Sets the send time limit (Id_SO_SNDTIMEO) on the open socket, and on every socket a later
  /// connect makes once it is connected (the limit would otherwise bound the connect too).
  void SetSendTimeout(int32_t AMilliseconds) override;
  /// Opens a stream socket, binds it, resolves and connects to AHost:APort (or to the SOCKS
  /// proxy, then negotiates), reporting stResolving and stConnecting. An address text connects
  /// over its own IP version; a host name over IPVersions: the first address of the one version
  /// asked for, or with vsBoth every address of both, raced (see IPVersions). ATimeout (ms, or
  /// TimeoutInfinite) limits the whole connect; -1 and 0 mean none (120 s under an anti-freeze).
  /// OpenIO must have run. Raises EIdSocketError, EIdConnectTimeout, EIdConnectException (the
  /// failure's text and number) or the bind/lookup errors.
  void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
                 int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax,
                 int32_t ATimeout) override;
  /// Connects the prepared socket on a helper thread and waits until the connect ends, ATimeout
  /// ms at most or without limit (TimeoutInfinite); under an anti-freeze the wait is cut into
  /// idle slices. A CloseIO from another thread ends the wait. Raises EIdConnectTimeout "Connect
  /// timed out." (socket closed) or EIdConnectException with the failure's text and number.
  void ConnectWithTimeout(int32_t ATimeout);
  /// Runs ATransmitter on the open socket (the whole-file send), keeping the descriptor from
  /// being closed under it; returns its result. Raises EIdClosedSocket "Disconnected." when not
  /// open.
  int64_t TransmitFile(TIdFileTransmitter ATransmitter, const std::string& AFileName);
  /// Whether the connection may hand a whole file to TransmitFile, past SendBytes. A transport
  /// that changes the bytes on their way says no. Base: true. Connection's thread.
  virtual bool WholeFileSendAllowed();

  /// The handle; nullptr before the first OpenIO. Owned; valid until the transport is freed.
  TIdSocketHandle* SocketHandle() const noexcept { return FSocketHandle.get(); }
  /// The socket's descriptor while open, else InvalidSocketDescriptor.
  TIdSocketDescriptor Descriptor() const noexcept;
  /// Whether outgoing data may wait to be sent in fuller packets. Default true.
  bool UseNagle() const noexcept { return FUseNagle; }
  /// False sets the no-delay option on the next outgoing connect.
  void SetUseNagle(bool AValue) noexcept { FUseNagle = AValue; }
  /// The IP versions a connect to a host name uses. vsIPv4 (the default): the host's first IPv4
  /// address; vsIPv6: its first IPv6 address; vsBoth: all its addresses, tried in the resolver's
  /// order with the versions taking turns, the next attempt 250 ms after the last (at once when
  /// every attempt so far has failed), the first connection made winning (RFC 8305). A bound IP
  /// keeps only the addresses of its version.
  TIdIPVersions IPVersions() const noexcept { return FIPVersions; }
  void SetIPVersions(TIdIPVersions AValue) noexcept { FIPVersions = AValue; }

  /// The SOCKS settings. Outside the design state, creates (and owns) settings when none exist;
  /// in the design state returns nullptr then.
  TIdSocksInfo* SocksInfo();
  /// nullptr drops (and frees owned) settings; settings with an owner component are referred to
  /// (not owned; cleared on removal notice); settings without owner are copied into the
  /// transport's own settings and stay the caller's.
  void SetSocksInfo(TIdSocksInfo* AValue);

  void Notification(TComponent* AComponent, TOperation AOperation) override;

private:
  struct TBound;
  void ConnectToVersion(TIdIPVersion AVersion, const std::string& AHost, int32_t APort,
                        const TBound& ABound, std::optional<int32_t> ALimit);
  void ConnectToAny(const std::string& AHost, int32_t APort, const TBound& ABound,
                    std::optional<int32_t> ALimit);
  void PrepareSocket(TIdSocketHandle& AHandle, TIdIPVersion AVersion, const TBound& ABound);
  void FinishConnect(std::optional<int32_t> ALimit);
  void RunRace(TIdConnectRace& ARace, int32_t ATimeout, bool AReportAsTimed);
  void SetRace(TIdConnectRace* ARace);
  void ConnectBlocking();
  TIdSocketHandle& OpenHandle();
  void ApplySendTimeout();

  // Made by the first OpenIO, before the transport is handed to any other thread, and kept
  // until the transport goes: other threads read it without a lock.
  std::unique_ptr<TIdSocketHandle> FSocketHandle; // owned
  bool FUseNagle = true;
  int32_t FSendTimeout = 0; // ms; 0: none
  TIdIPVersions FIPVersions = TIdIPVersions::vsIPv4;
  // The race of a connect in progress, for a CloseIO from another thread to end it.
  TMutex FRaceLock;
  TIdConnectRace* FRace ID_GUARDED_BY(FRaceLock) = nullptr; // not owned; the connecting thread's
  std::atomic<bool> FRacing{false};   // FRace is set: CloseIO takes the lock only then
  TIdSocksInfo* FSocksInfo = nullptr; // FOwnedSocksInfo, or not owned; cleared on removal notice
  std::unique_ptr<TIdSocksInfo> FOwnedSocksInfo; // owned settings made by SocksInfo()
};

} // namespace Id
