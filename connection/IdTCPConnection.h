// The buffered, blocking TCP connection on which all protocol code works: reading lines and
// blocks out of a buffer of received input, writing text, streams and files, numbered replies,
// closed-peer detection and the orderly close.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connection/IdBuffers.h"
#include "connection/IdIOHandler.h"
#include "connection/IdIntercept.h"
#include "core/IdException.h"
#include "core/IdGlobal.h"
#include "net/IdComponent.h"
#include "runtime/CriticalSection.h"
#include "runtime/Export.h"
#include "runtime/StringList.h"

namespace Id {

class TIdInputBuffer;
class TIdIOHandlerSocket;
class TIdRFCReply;

/// A class reference of the exception tree: raises an instance of its class with AMessage.
using TIdExceptionClass = void (*)(const std::string& AMessage);
template <class E> [[noreturn]] void RaiseExceptionOf(const std::string& AMessage) {
  throw E(AMessage);
}

/// A buffered byte-stream connection over a transport (IOHandler), with an optional intercept.
///
/// Threads: used by one thread at a time (on a server, the peer thread that owns it). Status,
/// work and OnDisconnected events run on the thread that does the work. CloseTransport and
/// CloseConnection may also be called from any other thread at any moment: the transport is
/// closed under the owning thread, whose blocked call then fails; an owned transport that is in
/// use is freed only when the owning thread has left it. The connection itself must outlive
/// such a call (the server guarantees it through its peer list).
class ID_API TIdTCPConnection : public TIdComponent {
public:
  /// No transport, not connected; AOwner (may be nullptr) frees it.
  explicit TIdTCPConnection(TComponent* AOwner);
  /// Closes the transport and frees an owned IOHandler.
  ~TIdTCPConnection() override;

  // Properties ----------------------------------------------------------------------------

  /// When true every received byte is masked to 7 bits. Default false.
  bool ASCIIFilter() const noexcept { return FASCIIFilter; }
  void SetASCIIFilter(bool AValue) noexcept { FASCIIFilter = AValue; }
  /// The transport has been found closed (a zero-length transfer, or CloseTransport ran).
  bool PeerClosed() const noexcept { return FPeerClosed.load(); }
  /// True while the connection frees its IOHandler on close and destruction.
  bool OwnsIOHandler() const;
  /// True adopts the current IOHandler (the connection will free it); false gives it back.
  void SetOwnsIOHandler(bool AValue);
  /// Received bytes not yet consumed by a reader. Owned; owning thread only.
  TIdManagedBuffer& PendingInput() noexcept;
  /// The outermost intercept; not owned; cleared on removal notice.
  TIdConnectionIntercept* Intercept() const noexcept { return FIntercept; }
  /// Stores the intercept and registers for its removal; calls no hook of it.
  void SetIntercept(TIdConnectionIntercept* AValue);
  /// The transport; owned only while OwnsIOHandler. nullptr when none.
  TIdIOHandler* IOHandler() const;
  /// Frees an owned current transport, then refers to AValue (not owned; cleared on removal
  /// notice). Owning thread only.
  void SetIOHandler(TIdIOHandler* AValue);
  /// Installs AValue and owns it (OwnsIOHandler becomes true).
  void SetIOHandler(std::unique_ptr<TIdIOHandler> AValue);
  /// The IOHandler when it is a socket transport, else nullptr.
  TIdIOHandlerSocket* SocketTransport() const;
  /// The reply most recently read by ReadReply. Owned.
  TIdRFCReply& LastReply() noexcept { return *FLastReply; }
  /// What ReadLine does with a line longer than the maximum. Default maException.
  TIdMaxLineAction MaxLineAction() const noexcept { return FMaxLineAction; }
  void SetMaxLineAction(TIdMaxLineAction AValue) noexcept { FMaxLineAction = AValue; }
  /// The longest line ReadLine accepts, terminator excluded; 0 means unlimited. Default 16384.
  int32_t MaxLineLength() const noexcept { return FMaxLineLength; }
  void SetMaxLineLength(int32_t AValue) noexcept { FMaxLineLength = AValue; }
  /// Whether the most recent ReadLine returned part of a too-long line.
  bool LineWasSplit() const noexcept { return FLineWasSplit; }
  /// Whether the most recent ReadLine ran out of its caller-given time.
  bool LineTimedOut() const noexcept { return FLineTimedOut; }
  /// Milliseconds a reader waits by default; 0 waits without limit. Default 0.
  int32_t ReadTimeout() const noexcept { return FReadTimeout; }
  void SetReadTimeout(int32_t AValue) noexcept { FReadTimeout = AValue; }
  /// The most one receive asks of the transport. Default 32768.
  int32_t RecvBufferSize() const noexcept { return FRecvBufferSize; }
  void SetRecvBufferSize(int32_t AValue) noexcept { FRecvBufferSize = AValue; }
  /// The chunk size of stream sending. Default 32768.
  int32_t SendBufferSize() const noexcept { return FSendBufferSize; }
  void SetSendBufferSize(int32_t AValue) noexcept { FSendBufferSize = AValue; }

  /// Fired once per close, after the transport was closed. Runs on the closing thread.
  TNotifyEvent OnDisconnected;

  /// Named arguments of DetectDisconnect, FillInputBuffer and the read calls.
  static constexpr bool RaiseIfClosed = true;
  static constexpr bool QuietIfClosed = false;
  static constexpr bool IgnoreBuffer = true;
  static constexpr bool DrainBufferFirst = false;
  static constexpr bool RaiseOnTimeout = true;
  static constexpr bool ReturnOnTimeout = false;
  static constexpr int32_t DefaultTimeout = -1;   // ReadTimeout (0: no limit)
  static constexpr int32_t DefaultMaxLength = -1; // MaxLineLength
  static constexpr bool NetworkOrder = true;      // of WriteInt32

  // State and closing --------------------------------------------------------------------

  /// Fires OnDisconnected when set.
  virtual void NotifyDisconnected();
  /// Empties PendingInput and clears PeerClosed, for reuse of the object.
  virtual void ClearReceiveState();
  /// Runs the close steps once when the peer was found closed; raises EIdConnClosedGracefully
  /// when closed and ARaiseIfClosed, unless unread input remains and AIgnoreBuffer is false.
  virtual void DetectDisconnect(bool ARaiseIfClosed, bool AIgnoreBuffer);
  /// True when an IOHandler is set and open (after DetectDisconnect without raising).
  virtual bool IsConnected();
  /// The orderly close: stDisconnecting, transport closed, owned IOHandler freed,
  /// OnDisconnected, stDisconnected. A second call fires nothing. Any thread.
  virtual void CloseConnection();
  /// Marks PeerClosed, tells the intercept (InterceptDisconnect) and closes the IOHandler.
  /// Any thread.
  virtual void CloseTransport();

  // Reading ------------------------------------------------------------------------------

  /// One receive into PendingInput (through the intercept and the ASCII filter). Returns the
  /// bytes added, 0 when closed, -1 when the wait timed out and ARaiseOnTimeout is false.
  /// ATimeout: -1 the default (ReadTimeout, 0 = no limit), -2 no limit, else ms. Raises
  /// EIdNotConnected, EIdReadTimeout, EIdConnClosedGracefully, EIdSocketError.
  virtual int32_t FillInputBuffer(bool ARaiseIfClosed, int32_t ATimeout, bool ARaiseOnTimeout);
  /// The next line up to ATerminator (empty: LF), without it; with LF, one CR before it is
  /// dropped too. AMaxLength -1 is MaxLineLength, 0 unlimited. A caller-given timeout that
  /// passes returns "" with LineTimedOut; the default one raises EIdReadTimeout. Raises
  /// EIdReadLnMaxLineLengthExceeded under maException.
  virtual std::string ReadLine(const std::string& ATerminator = std::string(),
                               int32_t ATimeout = -1, int32_t AMaxLength = -1);
  /// The next line that is not blank after trimming, trimmed; at most AMaxTries lines are read;
  /// "" when none was found.
  std::string ReadNonBlankLine(int32_t AMaxTries = INT32_MAX);
  /// Waits for one receive while connected, then takes everything buffered.
  std::string ReadAvailable();
  /// Everything until the peer closes, as one unit of read work.
  virtual std::string ReadUntilClosed();
  /// Waits at most 1 ms for data and so notices a closed peer.
  virtual void PollClosed(bool ARaiseIfClosed);

  // Commands and replies -----------------------------------------------------------------

  /// WriteLine(ACommand), then ReadReply(AAllowed).
  virtual int16_t SendCommand(const std::string& ACommand, const std::vector<int16_t>& AAllowed);
  /// Reads a reply into LastReply and validates its code.
  virtual int16_t ReadReply(const std::vector<int16_t>& AAllowed);
  /// Reads the lines of one numbered reply (multi-line with "nnn-") into LastReply.
  void ReadReplyLines();
  /// Returns ACode when AAllowed is empty or holds it; else RaiseReplyError.
  virtual int16_t ValidateReplyCode(int16_t ACode, const std::vector<int16_t>& AAllowed);
  /// Raises EIdProtocolReplyError with LastReply's code and its lines, each ended by CR LF.
  [[noreturn]] virtual void RaiseReplyError();
  /// Raises an exception of AClass whose message is LastReply's lines, each ended by CR LF.
  [[noreturn]] virtual void RaiseReplyErrorAs(TIdExceptionClass AClass);
  template <class E> [[noreturn]] void RaiseReplyErrorAs() {
    RaiseReplyErrorAs(&RaiseExceptionOf<E>);
    throw EIdException(); // not reached: the virtual call raises
  }

  // Writing ------------------------------------------------------------------------------

  /// Sends ACount bytes through the intercept; loops over partial sends. Raises
  /// EIdConnClosedGracefully, EIdNotConnected, EIdClosedSocket, EIdSocketError.
  void WriteBytes(const void* ABuffer, int32_t ACount);
  /// The text's bytes, unchanged; nothing (and no state check) for "".
  virtual void WriteText(const std::string& AText);
  /// The text and CR LF, handed to the transport together.
  virtual void WriteLine(const std::string& AText = std::string());
  /// 4 bytes, in network order when ANetworkOrder.
  void WriteInt32(int32_t AValue, bool ANetworkOrder = true);
  /// Sends ACount bytes of AStream (0: up to its end) in SendBufferSize chunks as one unit of
  /// write work; with AWriteByteCount the amount goes first as a network-order WriteInt32.
  /// Raises EIdNoDataToRead when the stream ends early.
  virtual void WriteFromStream(TStream& AStream, bool AFromStart = true,
                               bool AWriteByteCount = false, int32_t ACount = 0);
  /// Sends a whole file (through FileTransmitter when installed and allowed, the transport is a
  /// socket that allows it, and there is no intercept); returns its size. EIdFileNotFound when
  /// missing.
  virtual uint32_t SendFile(const std::string& AFileName, bool AAllowTransmitHook = true);
  /// The reply's wire text when it has content; else nothing.
  void WriteReply(const TIdRFCReply& AReply);
  /// Each line (a lone "." doubled), then ".".
  void WriteDotTerminatedLines(const TStringList& ALines);

  void Notification(TComponent* AComponent, TOperation AOperation) override;

protected:
  /// PendingInput's bytes-dropped notification: read work of ACount bytes.
  void InputConsumed(TIdSimpleBuffer* ASender, int32_t ACount);

private:
  class TIOUse; // keeps the IOHandler alive while the owning thread is inside it (see .cpp)

  int32_t CheckReceiveResult(int32_t AResult);
  void ReadAvailableInto(std::string& AResult);
  void SendAll(TIdSimpleBuffer& ABuffer);
  void SendAll(const char* AData, int64_t ATotal);
  void ReleaseIOHandlerLocked() ID_REQUIRES(FIOLock);
  void FreeRetiredIfUnused();
  std::optional<bool> DisconnectedWithoutCloseSteps();
  bool RunCloseSteps();
  bool IOHandlerOpen();

  bool FASCIIFilter = false;
  std::atomic<bool> FPeerClosed{false};
  std::unique_ptr<TIdInputBuffer> FInput;       // owned; holds PendingInput
  TIdConnectionIntercept* FIntercept = nullptr; // not owned; cleared on removal notice
  std::unique_ptr<TIdRFCReply> FLastReply;      // owned
  TIdMaxLineAction FMaxLineAction = TIdMaxLineAction::maException;
  int32_t FMaxLineLength = 16384;
  bool FLineWasSplit = false;
  bool FLineTimedOut = false;
  int32_t FReadTimeout = 0;
  int32_t FRecvBufferSize = 32768;
  int32_t FSendBufferSize = 32768;

  // The transport and its ownership change only under FIOLock, which also serialises the close
  // steps between the owning thread and a closing thread. Re-entrant: the close steps nest
  // (CloseConnection tests IsConnected, whose DetectDisconnect may run them, and both close the
  // transport under the lock).
  mutable TCriticalSection FIOLock;
  // FOwnedIOHandler, or not owned; cleared on removal notice. Written under FIOLock; read
  // without it by TIOUse.
  std::atomic<TIdIOHandler*> FIOHandler{nullptr};
  bool FOwnsIOHandler ID_GUARDED_BY(FIOLock) = false;
  // The IOHandler while OwnsIOHandler.
  std::unique_ptr<TIdIOHandler> FOwnedIOHandler ID_GUARDED_BY(FIOLock);
  // The same object as FIOHandler, or none.
  TIdIOHandlerSocket* FSocketTransport ID_GUARDED_BY(FIOLock) = nullptr;
  std::atomic<int32_t> FIOUsers{0}; // TIOUse scopes open on FIOHandler
  // Released while in use; freed by the last user out.
  std::vector<std::unique_ptr<TIdIOHandler>> FRetired ID_GUARDED_BY(FIOLock);
  std::atomic<bool> FHasRetired{false}; // FRetired holds a handler
};

} // namespace Id
