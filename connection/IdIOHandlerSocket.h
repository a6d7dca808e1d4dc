// The socket transport: a TIdSocketHandle under a connection, with outgoing connects (optionally
// under a timeout and through a SOCKS proxy).
#pragma once

#include <memory>

#include "connection/IdIOHandler.h"
#include "connection/IdSocks.h"
#include "net/IdStack.h"
#include "runtime/Export.h"

namespace Id {

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
  /// Raw send result (may be partial); raises EIdClosedSocket "Disconnected." when not open.
  int32_t SendBytes(const void* ABuffer, int32_t ALength) override;
  /// Opens a stream socket, binds it, resolves and connects to AHost:APort (or to the SOCKS
  /// proxy, then negotiates), reporting stResolving and stConnecting. OpenIO must have run.
  /// Raises EIdSocketError, EIdConnectTimeout, EIdConnectException or the bind/lookup errors.
  void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
                 int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax,
                 int32_t ATimeout) override;
  /// Runs the blocking connect on a TIdConnectThread and waits in slices of 125 ms (shorter
  /// under an anti-freeze) up to ATimeout ms or without limit (TimeoutInfinite). Raises
  /// EIdConnectTimeout "Connect timed out." (socket closed) or EIdConnectException with the
  /// failure's text.
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

  /// The SOCKS settings. Outside the design state, creates (and owns) settings when none exist;
  /// in the design state returns nullptr then.
  TIdSocksInfo* SocksInfo();
  /// nullptr drops (and frees owned) settings; settings with an owner component are referred to
  /// (not owned; cleared on removal notice); settings without owner are copied into the
  /// transport's own settings and stay the caller's.
  void SetSocksInfo(TIdSocksInfo* AValue);

  void Notification(TComponent* AComponent, TOperation AOperation) override;

private:
  void ConnectBlocking();
  TIdSocketHandle& OpenHandle();

  // Made by the first OpenIO, before the transport is handed to any other thread, and kept
  // until the transport goes: other threads read it without a lock.
  std::unique_ptr<TIdSocketHandle> FSocketHandle; // owned
  bool FUseNagle = true;
  TIdSocksInfo* FSocksInfo = nullptr; // FOwnedSocksInfo, or not owned; cleared on removal notice
  std::unique_ptr<TIdSocksInfo> FOwnedSocksInfo; // owned settings made by SocksInfo()
};

} // namespace Id
