// SPDX-License-Identifier: MIT
#include "idframework/connection/IdTCPConnection.h"

#include <algorithm>
#include <optional>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/connection/detail/IdInputBuffer.h"
#include "idframework/connection/detail/IdReceiveWait.h"
#include "idframework/connection/detail/IdStreamSend.h"
#include "idframework/connection/detail/IdTransportSlot.h"
#include "idframework/core/IdAntiFreezeBase.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/core/detail/IdDebugCounters.h"
#include "idframework/net/IdStack.h"
#include "idframework/runtime/ScopeExit.h"

namespace Id {

using TUse = TIdTransportSlot::TUse;
using TState = TIdTransportSlot::TState;

// Creation, ownership and notification ---------------------------------------------------

TIdTCPConnection::TIdTCPConnection(TComponent* AOwner)
    : TIdComponent(AOwner),
      FInput(std::make_unique<TIdInputBuffer>(
          [this](TIdSimpleBuffer* ASender, int32_t ACount) { InputConsumed(ASender, ACount); })),
      FLastReply(std::make_unique<TIdRFCReply>(nullptr)),
      FTransport(std::make_unique<TIdTransportSlot>(*this)) {
  DebugCountUp(TIdDebugCounter::dcConnections);
}

TIdTCPConnection::~TIdTCPConnection() {
  DebugCountDown(TIdDebugCounter::dcConnections);
  CloseTransport();
  FTransport->ReleaseOwned();
}

bool TIdTCPConnection::PeerClosed() const noexcept {
  return FTransport->PeerClosed();
}

TIdManagedBuffer& TIdTCPConnection::PendingInput() noexcept {
  return FInput->Pending();
}

bool TIdTCPConnection::OwnsIOHandler() const {
  return FTransport->Owns();
}

void TIdTCPConnection::SetOwnsIOHandler(bool AValue) {
  FTransport->SetOwns(AValue);
}

TIdIOHandler* TIdTCPConnection::IOHandler() const {
  return FTransport->Current();
}

TIdIOHandlerSocket* TIdTCPConnection::SocketTransport() const {
  return FTransport->SocketTransport();
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* AValue) {
  FTransport->Set(AValue);
  if (AValue && FWriteTimeout != 0) AValue->SetSendTimeout(FWriteTimeout);
}

void TIdTCPConnection::SetIOHandler(std::unique_ptr<TIdIOHandler> AValue) {
  TIdIOHandler* Handler = AValue.get();
  FTransport->Adopt(std::move(AValue));
  if (Handler && FWriteTimeout != 0) Handler->SetSendTimeout(FWriteTimeout);
}

void TIdTCPConnection::SetWriteTimeout(int32_t AValue) {
  FWriteTimeout = AValue;
  TUse Handler(*FTransport);
  if (Handler) Handler->SetSendTimeout(AValue);
}

void TIdTCPConnection::SetIntercept(TIdConnectionIntercept* AValue) {
  if (FIntercept && FIntercept != AValue) RemoveFreeNotification(FIntercept);
  FIntercept = AValue;
  if (AValue) FreeNotification(AValue);
}

void TIdTCPConnection::Notification(TComponent* AComponent, TOperation AOperation) {
  TIdComponent::Notification(AComponent, AOperation);
  if (AOperation != TOperation::opRemove || !AComponent) return;
  if (AComponent == FIntercept) FIntercept = nullptr;
  FTransport->Forget(AComponent);
}

// State and closing ------------------------------------------------------------------------

void TIdTCPConnection::NotifyDisconnected() {
  if (!OnDisconnected) return;
  AssertNoLockHeld("OnDisconnected");
  OnDisconnected(this);
}

void TIdTCPConnection::ClearReceiveState() {
  FInput->Clear();
  FTransport->ResetClose();
}

// The transport's state is the one test of the connection, asked before and after every read
// and write and by a peer thread after each step: one look, without a lock.
bool TIdTCPConnection::IsConnected() {
  const TState Now = FTransport->State();
  if (Now == TState::CloseDue) RunCloseSteps();
  return Now == TState::Open;
}

void TIdTCPConnection::DetectDisconnect(bool ARaiseIfClosed, bool AIgnoreBuffer) {
  const TState Now = FTransport->State();
  if (Now == TState::Open || Now == TState::NoTransport) return;
  if (Now == TState::CloseDue) RunCloseSteps();
  if (ARaiseIfClosed && (AIgnoreBuffer || PendingInput().UnreadCount() == 0))
    throw EIdConnClosedGracefully();
}

// The peer closed an open transport: the close steps run once, on the thread whose call begins
// the close; the events fire with no lock held.
void TIdTCPConnection::RunCloseSteps() {
  if (!FTransport->BeginClose()) return;
  CloseTransport();
  NotifyStatus(TIdStatus::stDisconnected);
  NotifyDisconnected();
}

void TIdTCPConnection::CloseTransport() {
  TUse Handler(*FTransport);
  if (!Handler) return;
  FTransport->MarkClosed();
  if (IsDesigning()) return;
  if (FIntercept) FIntercept->InterceptDisconnect();
  Handler->CloseIO();
}

void TIdTCPConnection::DropTransport() {
  FTransport->Drop();
}

// Whichever thread's call begins the close fires the events; a second call, here or on another
// thread, fires nothing.
void TIdTCPConnection::CloseConnection() {
  DetectDisconnect(QuietIfClosed, DrainBufferFirst);
  const bool WasConnected = FTransport->BeginClose();
  if (WasConnected) {
    NotifyStatus(TIdStatus::stDisconnecting);
    CloseTransport();
  }
  FTransport->ReleaseOwned();
  if (WasConnected) {
    NotifyDisconnected();
    NotifyStatus(TIdStatus::stDisconnected);
  }
}

// Reading ------------------------------------------------------------------------------------

// FillInputBuffer, looking at the state once per receive (the close steps and the raising only
// when it is not open; AIgnoreBuffer is DetectDisconnect's for a connection found closed).
int32_t TIdTCPConnection::Receive(bool ARaiseIfClosed, bool AIgnoreBuffer, int32_t ATimeout,
                                  bool ARaiseOnTimeout,
                                  const TIdReceiveClock::time_point* ALineDeadline) {
  if (ATimeout == DefaultTimeout) ATimeout = FReadTimeout == 0 ? TimeoutInfinite : FReadTimeout;
  for (;;) {
    const TIdReceiveWait Wait =
        WaitOfReceive(ATimeout, FIdleTimeout, FInput->Pending().UnreadCount() == 0, ALineDeadline);
    std::optional<int32_t> Received;
    int32_t Kept = 0;
    bool Open;
    {
      TUse Handler(*FTransport);
      Open = FTransport->StateOf(Handler.Get()) == TState::Open;
      if (Open)
        Received = FInput->ReceiveFrom(*Handler.Get(), FRecvBufferSize, Wait.Ms, FIntercept,
                                       FASCIIFilter, Kept);
    }
    if (!Open) {
      DetectDisconnect(ARaiseIfClosed, AIgnoreBuffer);
      if (ARaiseIfClosed) throw EIdNotConnected();
      return 0;
    }
    if (!Received) return ReceiveTimedOut(Wait.Limit, ARaiseOnTimeout, FTraffic);
    if (*Received > 0) Count(TIdTrafficCount::tcBytesIn, *Received);
    if (Kept > 0) return Kept;
    if (*Received > 0) continue; // an intercept kept nothing of it
    // Only ever set here: a close by another thread must not be undone by this result.
    if (*Received == 0) FTransport->SetPeerClosed();
    if (*Received < 0) FailTransfer(*Received, {WSA::ESHUTDOWN_, WSA::ECONNABORTED_}, true);
    DetectDisconnect(ARaiseIfClosed, DrainBufferFirst);
    return 0;
  }
}

// A failed transfer: an error of AClosing closes the transport and raises (not AQuietWithInput
// while unread input remains: readers drain it first); any other raises from the check.
void TIdTCPConnection::FailTransfer(int32_t AResult, std::initializer_list<int32_t> AClosing,
                                    bool AQuietWithInput) {
  TIdStack* Stack = GlobalStack();
  if (!Stack->CheckSocketResult(AResult, AClosing)) return;
  const int32_t Error = Stack->SockLastError();
  CloseTransport();
  if (!AQuietWithInput || PendingInput().UnreadCount() == 0) Stack->ThrowSocketError(Error);
}

std::string TIdTCPConnection::ReadLine(const std::string& ATerminator, int32_t ATimeout,
                                       int32_t AMaxLength) {
  if (AMaxLength == DefaultMaxLength) AMaxLength = FMaxLineLength;
  const std::string Terminator = ATerminator.empty() ? std::string("\n") : ATerminator;
  FLineWasSplit = false;
  FLineTimedOut = false;
  int32_t Searched = 0;
  std::optional<TIdReceiveClock::time_point>
      Deadline; // once the line has begun, with a LineTimeout
  for (;;) {
    std::optional<std::string> Line =
        FInput->TakeLine(Terminator, AMaxLength, FMaxLineAction, Searched, FLineWasSplit);
    if (Line) return std::move(*Line);
    if (FLineTimeout > 0 && !Deadline && FInput->Pending().UnreadCount() > 0)
      Deadline = TIdReceiveClock::now() + std::chrono::milliseconds(FLineTimeout);
    // Only the connection's own timeout raises; one the caller gave returns an empty line. A
    // close raises even while part of a line is pending.
    const bool Raise = ATimeout == DefaultTimeout ? RaiseOnTimeout : ReturnOnTimeout;
    FLineTimedOut = Receive(RaiseIfClosed, IgnoreBuffer, ATimeout, Raise,
                            Deadline ? &*Deadline : nullptr) == -1;
    if (FLineTimedOut) return std::string();
  }
}

std::string TIdTCPConnection::ReadNonBlankLine(int32_t AMaxTries) {
  std::string Result;
  for (int32_t Tries = 0; Result.empty() && Tries < AMaxTries; ++Tries)
    Result = Trim(ReadLine(std::string(), DefaultTimeout, DefaultMaxLength));
  return Result;
}

void TIdTCPConnection::ReadAvailableInto(std::string& AResult) {
  FillInputBuffer(QuietIfClosed, DefaultTimeout, RaiseOnTimeout);
  FInput->TakeAllInto(AResult);
}

std::string TIdTCPConnection::ReadUntilClosed() {
  std::string Result;
  NotifyWorkBegin(TWorkMode::wkRead, 0);
  TScopeExit EndWork([this] { NotifyWorkEnd(TWorkMode::wkRead); });
  while (IsConnected())
    ReadAvailableInto(Result);
  // Input that arrived before a close seen earlier belongs to the result too.
  FInput->TakeAllInto(Result);
  return Result;
}

// Writing ------------------------------------------------------------------------------------

void TIdTCPConnection::WriteBytes(const void* ABuffer, int32_t ACount) {
  if (ACount <= 0 || !ABuffer) return;
  if (FTransport->State() != TState::Open) {
    // A connection whose close was seen raises "Connection Closed Gracefully." even with
    // unread input; one without transport is not connected.
    DetectDisconnect(RaiseIfClosed, IgnoreBuffer);
    throw EIdNotConnected();
  }
  if (!FIntercept) {
    // Nothing changes the bytes on their way: they go out from where they are.
    SendAll(static_cast<const char*>(ABuffer), ACount);
    return;
  }
  TIdSimpleBuffer Outgoing;
  Outgoing.WriteBuffer(ABuffer, ACount);
  Outgoing.SetPosition(0);
  FIntercept->InterceptSend(Outgoing);
  SendAll(Outgoing.Memory(), Outgoing.DataSize());
}

void TIdTCPConnection::SendAll(const char* AData, int64_t ATotal) {
  for (int64_t Sent = 0; Sent < ATotal;) {
    const auto Chunk = static_cast<int32_t>(std::min<int64_t>(ATotal - Sent, INT32_MAX));
    const int32_t N = FTransport->Send(AData + Sent, Chunk);
    if (N < 0 && FWriteTimeout > 0 && GlobalStack()->SockLastError() == WSA::EWOULDBLOCK_)
      FailWriteTimeout();
    TIdAntiFreezeBase::AntiFreezeStep(TIdAntiFreezeBase::Busy, TIdAntiFreezeBase::NoOverride);
    if (N <= 0) {
      // The state is looked at only when the transport took nothing: a close found now runs
      // its steps, and one that takes nothing is closed for writing, unread input or not.
      if (N == 0) FTransport->SetPeerClosed();
      DetectDisconnect(RaiseIfClosed, DrainBufferFirst);
      if (N == 0) throw EIdConnClosedGracefully();
      FailTransfer(N, {WSA::ESHUTDOWN_, WSA::ECONNABORTED_, WSA::ECONNRESET_}, false);
    }
    Count(TIdTrafficCount::tcBytesOut, N);
    NotifyWork(TWorkMode::wkWrite, N);
    Sent += N;
  }
}

// The peer took nothing for WriteTimeout: what was sent of the data is unknown to it, so the
// connection cannot go on.
void TIdTCPConnection::FailWriteTimeout() {
  Count(TIdTrafficCount::tcWriteTimeouts);
  CloseTransport();
  throw EIdWriteTimeout();
}

void TIdTCPConnection::WriteInt32(int32_t AValue, bool ANetworkOrder) {
  uint32_t Value = static_cast<uint32_t>(AValue);
  if (ANetworkOrder) Value = GlobalStack()->SockHostToNet32(Value);
  WriteBytes(&Value, sizeof(Value));
}

void TIdTCPConnection::WriteFromStream(TStream& AStream, bool AFromStart, bool AWriteByteCount,
                                       int32_t ACount) {
  SendStream(*this, AStream, AFromStart, AWriteByteCount, ACount);
}

uint32_t TIdTCPConnection::SendFile(const std::string& AFileName, bool AAllowTransmitHook) {
  if (!IsFileToSend(AFileName)) throw MakeFileNotFound(AFileName);
  const TIdFileTransmitter Transmitter = FileTransmitter();
  if (Transmitter && !FIntercept && AAllowTransmitHook)
    if (const std::optional<int64_t> Sent = FTransport->TransmitFile(Transmitter, AFileName)) {
      Count(TIdTrafficCount::tcBytesOut, *Sent);
      return static_cast<uint32_t>(*Sent);
    }
  return SendFileStreamed(*this, AFileName);
}

void TIdTCPConnection::WriteReply(const TIdRFCReply& AReply) {
  if (AReply.HasContent()) WriteText(AReply.FormatReply());
}

void TIdTCPConnection::WriteDotTerminatedLines(const TStringList& ALines) {
  for (int I = 0; I < ALines.Count(); ++I)
    WriteLine(ALines[I] == "." ? ".." : ALines[I]);
  WriteLine(".");
}

} // namespace Id
