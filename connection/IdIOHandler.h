// SPDX-License-Identifier: MIT
// The transport under a connection: waits for input, receives, sends and closes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "idframework/net/IdComponent.h"
#include "idframework/runtime/Export.h"

namespace Id {

/// The abstract transport of a TIdTCPConnection. A transport is used by the thread of its
/// connection; CloseIO may also be called from another thread to abort a blocked call.
class ID_API TIdIOHandler : public TIdComponent {
public:
  /// A closed transport; AOwner (may be nullptr) frees it.
  explicit TIdIOHandler(TComponent* AOwner);
  /// Runs this class's CloseIO (which does nothing): a derived transport closes in its own
  /// destructor.
  ~TIdIOHandler() override;

  /// Called by the peer thread when it starts serving an accepted transport. Base: nothing.
  virtual void AcceptCompleted();
  /// Closes the transport; callable from any thread. Base: nothing.
  virtual void CloseIO();
  /// Connects to AHost:APort, binding locally to ABoundIP/ABoundPort or the port range first.
  /// ATimeout in ms; -1 and 0 mean the default. Base: nothing.
  virtual void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
                         int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax,
                         int32_t ATimeout);
  /// True while the transport has an open channel.
  virtual bool IsOpen() = 0;
  /// Prepares the transport for a new connection. Base: nothing.
  virtual void OpenIO();
  /// Waits up to ATimeout ms (or TimeoutInfinite) for input; true when readable.
  virtual bool AwaitReadable(int32_t ATimeout) = 0;
  /// Raw result: bytes received, 0 for an orderly close, -1 (SocketErrorResult) for a failure
  /// that the caller tests with CheckSocketResult.
  virtual int32_t ReceiveBytes(void* ABuffer, int32_t ALength) = 0;
  /// Raw result: bytes accepted (possibly fewer than ALength), 0, or -1 as ReceiveBytes.
  virtual int32_t SendBytes(const void* ABuffer, int32_t ALength) = 0;
  /// The longest a send may wait without taking a byte, in ms; 0 for no limit. A send that runs
  /// out of it fails with the raw result -1 and the stack's EWOULDBLOCK_, and the transport is
  /// then fit only to be closed. Kept for the channels the transport opens later. Base: nothing
  /// (no limit).
  virtual void SetSendTimeout(int32_t AMilliseconds);
  /// AwaitReadable, then ReceiveBytes when input came: the raw result of the receive, or none
  /// when the wait ran out. A transport may let the receive do the waiting where that is
  /// the same to the caller.
  virtual std::optional<int32_t> ReceiveWhenReadable(void* ABuffer, int32_t ALength,
                                                     int32_t ATimeout);
};

} // namespace Id
