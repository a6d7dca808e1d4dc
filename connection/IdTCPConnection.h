// SPDX-License-Identifier: MIT
// The buffered, blocking TCP connection on which all protocol code works: reading lines and
// blocks out of a buffer of received input, writing text, streams and files, numbered replies,
// closed-peer detection and the orderly close.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "idframework/connection/IdBuffers.h"
#include "idframework/connection/IdIOHandler.h"
#include "idframework/connection/IdIntercept.h"
#include "idframework/connection/IdTrafficCounters.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdGlobal.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/net/IdComponent.h"
#include "idframework/runtime/Export.h"
#include "idframework/runtime/StringList.h"

namespace Id {

class TIdInputBuffer;
class TIdTransportSlot;
class TIdIOHandlerSocket;

/// A class reference of the exception tree: raises an instance of its class with AMessage.
using TIdExceptionClass = void (*)(const std::string& AMessage);
template <class E> [[noreturn]] void RaiseExceptionOf(const std::string& AMessage) {
  throw E(AMessage);
}

/// A buffered byte-stream connection over a transport (IOHandler), with an optional intercept.
///
/// Threads: used by one thread at a time (on a server, the peer thread that owns it). Status,
/// work and OnDisconnected events run on the thread that does the work. CloseTransport,
/// CloseConnection and DropTransport may also be called from any other thread at any moment:
/// the transport is closed under the owning thread, whose blocked call then fails; an owned
/// transport that is in use is freed only when the owning thread has left it; the events of a
/// close fire once, on the thread whose call began it. No lock of the connection is held while
/// its events or its intercept run. The connection itself must outlive such a call (the server
/// guarantees it through its peer registry).
///
/// \see The guide: \ref guide-time-limits, \ref guide-errors, \ref guide-threads.
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
  bool PeerClosed() const noexcept;
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
  /// The longest a send may wait without the peer taking a byte, in ms; 0 (the default): no
  /// limit. A send that runs out of it closes the transport and raises EIdWriteTimeout. It is
  /// the transport's send time limit (see TIdIOHandler::SetSendTimeout), given to every
  /// transport the connection is set to; a transport that cannot limit its sends ignores it.
  /// The socket transport waits for room with it (TIdSocketHandle::SendWithin); TLS records and
  /// whole-file sends go through the socket's own per-call limit, which finds a peer that
  /// stopped reading between one and two limits late.
  int32_t WriteTimeout() const noexcept { return FWriteTimeout; }
  void SetWriteTimeout(int32_t AValue);
  /// The most time one ReadLine may take from the moment its line has begun to arrive, in ms,
  /// however the peer paces the bytes; 0 (the default): no limit. Raises EIdLineTimeout.
  int32_t LineTimeout() const noexcept { return FLineTimeout; }
  void SetLineTimeout(int32_t AValue) noexcept { FLineTimeout = AValue; }
  /// The longest a read waits while no received input is left to read, in ms; 0 (the default):
  /// no limit of its own. Raises EIdIdleTimeout when it runs out before ReadTimeout or the time
  /// the reader gave.
  int32_t IdleTimeout() const noexcept { return FIdleTimeout; }
  void SetIdleTimeout(int32_t AValue) noexcept { FIdleTimeout = AValue; }
  /// Where the connection counts the bytes it receives and sends and its timed-out reads and
  /// writes; nullptr (the default): nowhere. Not owned; it must outlive the connection's use (a
  /// server gives its peer connections its own).
  TIdTrafficCounters* TrafficCounters() const noexcept { return FTraffic; }
  void SetTrafficCounters(TIdTrafficCounters* AValue) noexcept { FTraffic = AValue; }
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
  /// Closes the IOHandler's channel and nothing else: PeerClosed is set, no event fires and the
  /// intercept is not told. The owning thread's blocked call fails and the thread ends the
  /// connection itself. Any thread; a server's deactivation drops its connections so.
  void DropTransport();

  // Reading ------------------------------------------------------------------------------

  /// One receive into PendingInput (through the intercept and the ASCII filter). Returns the
  /// bytes added, 0 when closed, -1 when the wait timed out and ARaiseOnTimeout is false.
  /// ATimeout: -1 the default (ReadTimeout, 0 = no limit), -2 no limit, else ms. Raises
  /// EIdNotConnected, EIdReadTimeout, EIdConnClosedGracefully, EIdSocketError.
  virtual int32_t FillInputBuffer(bool ARaiseIfClosed, int32_t ATimeout, bool ARaiseOnTimeout) {
    return Receive(ARaiseIfClosed, DrainBufferFirst, ATimeout, ARaiseOnTimeout);
  }
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
  std::string ReadAvailable() {
    std::string Result;
    ReadAvailableInto(Result); // appends, without a string of its own in between
    return Result;
  }
  /// Everything until the peer closes, as one unit of read work.
  virtual std::string ReadUntilClosed();
  /// Waits at most 1 ms for data and so notices a closed peer.
  virtual void PollClosed(bool ARaiseIfClosed) {
    FillInputBuffer(ARaiseIfClosed, 1, ReturnOnTimeout);
  }

  // Commands and replies -----------------------------------------------------------------

  /// WriteLine(ACommand), then ReadReply(AAllowed).
  virtual int16_t SendCommand(const std::string& ACommand, const std::vector<int16_t>& AAllowed) {
    WriteLine(ACommand);
    return ReadReply(AAllowed);
  }
  /// Reads a reply into LastReply and validates its code.
  virtual int16_t ReadReply(const std::vector<int16_t>& AAllowed) {
    ReadReplyLines();
    return ValidateReplyCode(static_cast<int16_t>(FLastReply->NumericCode()), AAllowed);
  }
  /// Reads the lines of one numbered reply (multi-line with "nnn-") into LastReply.
  void ReadReplyLines() {
    FLastReply->ReadReplyLines([this] { return ReadNonBlankLine(INT32_MAX); });
  }
  /// Returns ACode when AAllowed is empty or holds it; else RaiseReplyError.
  virtual int16_t ValidateReplyCode(int16_t ACode, const std::vector<int16_t>& AAllowed) {
    if (!AAllowed.empty() && std::find(AAllowed.begin(), AAllowed.end(), ACode) == AAllowed.end())
      RaiseReplyError();
    return ACode;
  }
  /// Raises EIdProtocolReplyError with LastReply's code and its lines, each ended by CR LF.
  [[noreturn]] virtual void RaiseReplyError() {
    throw EIdProtocolReplyError(FLastReply->NumericCode(), FLastReply->Text().Text());
  }
  /// Raises an exception of AClass whose message is LastReply's lines, each ended by CR LF.
  [[noreturn]] virtual void RaiseReplyErrorAs(TIdExceptionClass AClass) {
    const std::string Message = FLastReply->Text().Text();
    if (AClass) AClass(Message);
    throw EIdException(Message); // a class reference that did not raise
  }
  template <class E> [[noreturn]] void RaiseReplyErrorAs() {
    RaiseReplyErrorAs(&RaiseExceptionOf<E>);
    throw EIdException(); // not reached: the virtual call raises
  }

  // Writing ------------------------------------------------------------------------------

  /// Sends ACount bytes through the intercept; loops over partial sends. Raises
  /// EIdConnClosedGracefully, EIdNotConnected, EIdClosedSocket, EIdSocketError.
  void WriteBytes(const void* ABuffer, int32_t ACount);
  /// The text's bytes, unchanged; nothing (and no state check) for "".
  virtual void WriteText(const std::string& AText) {
    if (!AText.empty()) WriteBytes(AText.data(), static_cast<int32_t>(AText.size()));
  }
  /// The text and CR LF, handed to the transport together.
  virtual void WriteLine(const std::string& AText = std::string()) { WriteText(AText + "\r\n"); }
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
  void InputConsumed(TIdSimpleBuffer*, int32_t ACount) { NotifyWork(TWorkMode::wkRead, ACount); }

private:
  void RunCloseSteps();
  int32_t Receive(bool ARaiseIfClosed, bool AIgnoreBuffer, int32_t ATimeout, bool ARaiseOnTimeout,
                  const std::chrono::steady_clock::time_point* ALineDeadline = nullptr);
  [[noreturn]] void FailWriteTimeout();
  void Count(TIdTrafficCount ACount, int64_t ADelta = 1) noexcept {
    if (FTraffic) FTraffic->Add(ACount, ADelta);
  }
  void FailTransfer(int32_t AResult, std::initializer_list<int32_t> AClosing, bool AQuietWithInput);
  void ReadAvailableInto(std::string& AResult);
  void SendAll(const char* AData, int64_t ATotal);

  bool FASCIIFilter = false;
  std::unique_ptr<TIdInputBuffer> FInput;       // owned; holds PendingInput
  TIdConnectionIntercept* FIntercept = nullptr; // not owned; cleared on removal notice
  std::unique_ptr<TIdRFCReply> FLastReply;      // owned
  TIdMaxLineAction FMaxLineAction = TIdMaxLineAction::maException;
  int32_t FMaxLineLength = 16384;
  bool FLineWasSplit = false;
  bool FLineTimedOut = false;
  int32_t FReadTimeout = 0;
  int32_t FWriteTimeout = 0;
  int32_t FLineTimeout = 0;
  int32_t FIdleTimeout = 0;
  TIdTrafficCounters* FTraffic = nullptr; // not owned
  int32_t FRecvBufferSize = 32768;
  int32_t FSendBufferSize = 32768;
  // The IOHandler, owned or borrowed, kept alive while a thread is inside it, and the state of
  // its channel; decides which call begins a close. Owned.
  std::unique_ptr<TIdTransportSlot> FTransport;
};

} // namespace Id
