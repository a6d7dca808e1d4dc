#include "connection/IdTCPConnection.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <sys/stat.h>

#include "connection/IdIOHandlerSocket.h"
#include "connection/detail/IdInputBuffer.h"
#include "core/IdAntiFreezeBase.h"
#include "core/IdException.h"
#include "core/IdRFCReply.h"
#include "core/detail/IdDebugCounters.h"
#include "net/IdStack.h"

namespace Id {

namespace {

constexpr char CRLF[] = "\r\n";

// The file test of SendFile: an existing regular file (a directory is not a file to send).
bool FileExists(const std::string& AFileName) {
  struct stat Info {};
  return ::stat(AFileName.c_str(), &Info) == 0 && S_ISREG(Info.st_mode);
}

// CheckSocketResult with the error number of this very failure, read on this thread before
// anything else (a close, another thread's failure) can change it.
bool IsIgnoredSocketError(int32_t AResult, std::initializer_list<int32_t> AIgnored,
                          int32_t& AError) {
  TIdStack* Stack = GlobalStack();
  if (!Stack->CheckSocketResult(AResult, AIgnored)) return false;
  AError = Stack->SockLastError();
  return true;
}

} // namespace

// Keeps the connection's IOHandler alive while the owning thread is inside it, without a lock:
// the user is counted before the handler is read, and a thread that releases an owned handler
// clears the reference before it reads the count. So either it sees this user and parks the
// handler in FRetired, for the last user out to free, or this user reads no handler at all.
class TIdTCPConnection::TIOUse {
public:
  explicit TIOUse(TIdTCPConnection& AConnection) : FConnection(AConnection) {
    AConnection.FIOUsers.fetch_add(1);
    FHandler = AConnection.FIOHandler.load();
  }
  ~TIOUse() {
    if (FConnection.FIOUsers.fetch_sub(1) == 1 && FConnection.FHasRetired.load())
      FConnection.FreeRetiredIfUnused();
  }
  TIOUse(const TIOUse&) = delete;
  TIOUse& operator=(const TIOUse&) = delete;

  explicit operator bool() const noexcept { return FHandler != nullptr; }
  TIdIOHandler* operator->() const noexcept { return FHandler; }
  TIdIOHandler* Get() const noexcept { return FHandler; }

private:
  TIdTCPConnection& FConnection;
  TIdIOHandler* FHandler = nullptr;
};

void TIdTCPConnection::FreeRetiredIfUnused() {
  TLockGuard<TCriticalSection> Guard(FIOLock);
  if (FIOUsers.load() != 0) return;
  FRetired.clear();
  FHasRetired.store(false);
}

// Creation, ownership and notification ---------------------------------------------------

TIdTCPConnection::TIdTCPConnection(TComponent* AOwner) : TIdComponent(AOwner) {
  FReadTimeout = 0;
  FLastReply = std::make_unique<TIdRFCReply>(nullptr);
  FRecvBufferSize = 32768;
  FSendBufferSize = 32768;
  FInput = std::make_unique<TIdInputBuffer>(
      [this](TIdSimpleBuffer* ASender, int32_t ACount) { InputConsumed(ASender, ACount); });
  FMaxLineLength = 16384;
  DebugCountUp(TIdDebugCounter::dcConnections);
}

TIdTCPConnection::~TIdTCPConnection() {
  DebugCountDown(TIdDebugCounter::dcConnections);
  CloseTransport();
  TLockGuard<TCriticalSection> Guard(FIOLock);
  if (FOwnsIOHandler) ReleaseIOHandlerLocked();
  FOwnsIOHandler = false;
  FRetired.clear();
}

TIdManagedBuffer& TIdTCPConnection::PendingInput() noexcept {
  return FInput->Pending();
}

bool TIdTCPConnection::OwnsIOHandler() const {
  TLockGuard<TCriticalSection> Guard(FIOLock);
  return FOwnsIOHandler;
}

void TIdTCPConnection::SetOwnsIOHandler(bool AValue) {
  TLockGuard<TCriticalSection> Guard(FIOLock);
  FOwnsIOHandler = AValue;
  TIdIOHandler* Handler = FIOHandler.load();
  if (AValue && Handler && !FOwnedIOHandler) FOwnedIOHandler.reset(Handler);
  if (!AValue) static_cast<void>(FOwnedIOHandler.release()); // the holder takes it back
}

TIdIOHandler* TIdTCPConnection::IOHandler() const {
  return FIOHandler.load();
}

TIdIOHandlerSocket* TIdTCPConnection::SocketTransport() const {
  TLockGuard<TCriticalSection> Guard(FIOLock);
  return FSocketTransport;
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* AValue) {
  TLockGuard<TCriticalSection> Guard(FIOLock);
  TIdIOHandler* const Old = FIOHandler.load();
  if (AValue == Old) return; // re-setting must not free what it keeps
  if (Old && FOwnsIOHandler) {
    ReleaseIOHandlerLocked();
    FOwnsIOHandler = false;
  } else if (Old) {
    RemoveFreeNotification(Old);
  }
  FIOHandler.store(AValue);
  FSocketTransport = dynamic_cast<TIdIOHandlerSocket*>(AValue);
  if (!AValue) return;
  FreeNotification(AValue);
  // OwnsIOHandler set while no transport was attached applies to the new one.
  if (FOwnsIOHandler) FOwnedIOHandler.reset(AValue);
}

void TIdTCPConnection::SetIOHandler(std::unique_ptr<TIdIOHandler> AValue) {
  TLockGuard<TCriticalSection> Guard(FIOLock);
  SetIOHandler(AValue.get());
  if (FIOHandler.load()) SetOwnsIOHandler(true);
  static_cast<void>(AValue.release()); // now held by FOwnedIOHandler
}

// Drops the IOHandler reference and frees it when owned; under FIOLock. While the owning thread
// is inside it (see TIOUse) the handler is parked instead and freed when that thread leaves.
void TIdTCPConnection::ReleaseIOHandlerLocked() {
  if (TIdIOHandler* Old = FIOHandler.load()) RemoveFreeNotification(Old);
  FIOHandler.store(nullptr);
  FSocketTransport = nullptr;
  if (!FOwnedIOHandler) return;
  if (FIOUsers.load() == 0) {
    FOwnedIOHandler.reset();
    return;
  }
  FRetired.push_back(std::move(FOwnedIOHandler));
  FHasRetired.store(true);
  // The user may have left between the count and the flag, without seeing the flag.
  if (FIOUsers.load() == 0) FreeRetiredIfUnused();
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
  TLockGuard<TCriticalSection> Guard(FIOLock);
  if (AComponent != FIOHandler.load()) return;
  // Being destroyed by someone else: forget it without freeing it again.
  if (FOwnedIOHandler.get() == AComponent) static_cast<void>(FOwnedIOHandler.release());
  FIOHandler.store(nullptr);
  FSocketTransport = nullptr;
}

void TIdTCPConnection::InputConsumed(TIdSimpleBuffer*, int32_t ACount) {
  NotifyWork(TWorkMode::wkRead, ACount);
}

// State and closing ------------------------------------------------------------------------

void TIdTCPConnection::NotifyDisconnected() {
  if (OnDisconnected) OnDisconnected(this);
}

void TIdTCPConnection::ClearReceiveState() {
  FInput->Clear();
  FPeerClosed = false;
}

bool TIdTCPConnection::IOHandlerOpen() {
  TIOUse Handler(*this);
  return Handler && Handler->IsOpen();
}

bool TIdTCPConnection::IsConnected() {
  DetectDisconnect(QuietIfClosed, DrainBufferFirst);
  return IOHandlerOpen();
}

void TIdTCPConnection::DetectDisconnect(bool ARaiseIfClosed, bool AIgnoreBuffer) {
  const std::optional<bool> Told = DisconnectedWithoutCloseSteps();
  const bool Disconnected = Told ? *Told : RunCloseSteps();
  if (Disconnected && ARaiseIfClosed && (AIgnoreBuffer || PendingInput().UnreadCount() == 0))
    throw EIdConnClosedGracefully();
}

// Asked before and after every read and write, and by a peer thread woken by a close: told
// without the lock, except when the close steps may be due (the peer has closed an open
// transport), which RunCloseSteps decides under the lock.
std::optional<bool> TIdTCPConnection::DisconnectedWithoutCloseSteps() {
  TIOUse Handler(*this);
  if (!Handler) return false;
  if (!Handler->IsOpen()) return true;
  if (!FPeerClosed.load()) return false;
  return std::nullopt;
}

// The check and the close steps are one step for every thread, so they run once per close.
bool TIdTCPConnection::RunCloseSteps() {
  TLockGuard<TCriticalSection> Guard(FIOLock);
  TIdIOHandler* const Handler = FIOHandler.load();
  if (!Handler) return false;
  if (!FPeerClosed) return !Handler->IsOpen();
  if (Handler->IsOpen()) {
    CloseTransport();
    NotifyStatus(TIdStatus::stDisconnected);
    NotifyDisconnected();
  }
  return true;
}

void TIdTCPConnection::CloseTransport() {
  TLockGuard<TCriticalSection> Guard(FIOLock);
  TIdIOHandler* const Handler = FIOHandler.load();
  if (!Handler) return;
  FPeerClosed = true;
  if (IsDesigning()) return;
  if (FIntercept) FIntercept->InterceptDisconnect();
  Handler->CloseIO();
}

void TIdTCPConnection::CloseConnection() {
  TLockGuard<TCriticalSection> Guard(FIOLock);
  const bool WasConnected = IsConnected();
  if (WasConnected) {
    NotifyStatus(TIdStatus::stDisconnecting);
    CloseTransport();
  }
  if (FOwnsIOHandler) {
    ReleaseIOHandlerLocked();
    FOwnsIOHandler = false;
  }
  if (WasConnected) {
    NotifyDisconnected();
    NotifyStatus(TIdStatus::stDisconnected);
  }
}

// Reading ------------------------------------------------------------------------------------

int32_t TIdTCPConnection::FillInputBuffer(bool ARaiseIfClosed, int32_t ATimeout,
                                          bool ARaiseOnTimeout) {
  if (ATimeout == DefaultTimeout) ATimeout = FReadTimeout == 0 ? TimeoutInfinite : FReadTimeout;
  DetectDisconnect(ARaiseIfClosed, DrainBufferFirst);
  if (!IsConnected()) {
    if (ARaiseIfClosed) throw EIdNotConnected();
    return 0;
  }
  int32_t N = 0;
  char Resting[TIdInputBuffer::RestingSize];
  do {
    TIdReceiveSpace Space;
    {
      TIOUse Handler(*this);
      if (!Handler) {
        // Released by another thread since the test above.
        if (ARaiseIfClosed) throw EIdNotConnected();
        return 0;
      }
      Space = FInput->ReceiveSpace(FRecvBufferSize, Resting, FIntercept != nullptr);
      const std::optional<int32_t> Received =
          Handler->ReceiveWhenReadable(Space.Block, Space.Length, ATimeout);
      if (!Received) {
        FInput->Abandon();
        if (ARaiseOnTimeout) throw EIdReadTimeout();
        return -1;
      }
      N = *Received;
    }
    // Only ever set here: a close by another thread must not be undone by this result.
    if (N == 0) FPeerClosed = true;
    if (N != 0) N = CheckReceiveResult(N);
    if (N > 0)
      N = FInput->Commit(Space, N, FIntercept, FASCIIFilter);
    else
      FInput->Abandon();
    DetectDisconnect(ARaiseIfClosed, DrainBufferFirst);
  } while (N == 0 && IsConnected());
  return N;
}

int32_t TIdTCPConnection::CheckReceiveResult(int32_t AResult) {
  int32_t Error = 0;
  if (!IsIgnoredSocketError(AResult, {WSA::ESHUTDOWN_, WSA::ECONNABORTED_}, Error)) return AResult;
  CloseTransport();
  // With unread input the readers drain it first and then see the close.
  if (PendingInput().UnreadCount() == 0) GlobalStack()->ThrowSocketError(Error);
  return 0;
}

std::string TIdTCPConnection::ReadLine(const std::string& ATerminator, int32_t ATimeout,
                                       int32_t AMaxLength) {
  if (AMaxLength == DefaultMaxLength) AMaxLength = FMaxLineLength;
  const std::string Terminator = ATerminator.empty() ? std::string("\n") : ATerminator;
  FLineWasSplit = false;
  FLineTimedOut = false;
  int32_t Searched = 0;
  for (;;) {
    std::optional<std::string> Line =
        FInput->TakeLine(Terminator, AMaxLength, FMaxLineAction, Searched, FLineWasSplit);
    if (Line) return std::move(*Line);
    DetectDisconnect(RaiseIfClosed, IgnoreBuffer);
    // Only the connection's own timeout raises; one the caller gave returns an empty line.
    const bool Raise = ATimeout == DefaultTimeout ? RaiseOnTimeout : ReturnOnTimeout;
    FLineTimedOut = FillInputBuffer(RaiseIfClosed, ATimeout, Raise) == -1;
    if (FLineTimedOut) return std::string();
  }
}

std::string TIdTCPConnection::ReadNonBlankLine(int32_t AMaxTries) {
  std::string Result;
  for (int32_t Tries = 0; Result.empty() && Tries < AMaxTries; ++Tries)
    Result = Trim(ReadLine(std::string(), DefaultTimeout, DefaultMaxLength));
  return Result;
}

std::string TIdTCPConnection::ReadAvailable() {
  std::string Result;
  ReadAvailableInto(Result);
  return Result;
}

// ReadAvailable appending to AResult, without a string of its own in between.
void TIdTCPConnection::ReadAvailableInto(std::string& AResult) {
  if (IsConnected()) FillInputBuffer(QuietIfClosed, DefaultTimeout, RaiseOnTimeout);
  FInput->TakeAllInto(AResult);
}

std::string TIdTCPConnection::ReadUntilClosed() {
  std::string Result;
  NotifyWorkBegin(TWorkMode::wkRead, 0);
  try {
    while (IsConnected())
      ReadAvailableInto(Result);
    // Input that arrived before a close seen earlier belongs to the result too.
    FInput->TakeAllInto(Result);
  } catch (...) {
    NotifyWorkEnd(TWorkMode::wkRead);
    throw;
  }
  NotifyWorkEnd(TWorkMode::wkRead);
  return Result;
}

void TIdTCPConnection::PollClosed(bool ARaiseIfClosed) {
  FillInputBuffer(ARaiseIfClosed, 1, ReturnOnTimeout);
}

// Commands and replies -------------------------------------------------------------------------

int16_t TIdTCPConnection::SendCommand(const std::string& ACommand,
                                      const std::vector<int16_t>& AAllowed) {
  WriteLine(ACommand);
  return ReadReply(AAllowed);
}

int16_t TIdTCPConnection::ReadReply(const std::vector<int16_t>& AAllowed) {
  ReadReplyLines();
  return ValidateReplyCode(static_cast<int16_t>(FLastReply->NumericCode()), AAllowed);
}

void TIdTCPConnection::ReadReplyLines() {
  TStringList Lines;
  const std::string First = ReadNonBlankLine(INT32_MAX);
  Lines.Add(First);
  if (First.size() > 3 && First[3] == '-') {
    const std::string EndMarker = First.substr(0, 3) + " ";
    for (;;) {
      const std::string Line = ReadNonBlankLine(INT32_MAX);
      Lines.Add(Line);
      if (Line.size() < 4 || SameText(Line.substr(0, 4), EndMarker)) break;
    }
  }
  FLastReply->ParseReplyLines(Lines);
}

int16_t TIdTCPConnection::ValidateReplyCode(int16_t ACode, const std::vector<int16_t>& AAllowed) {
  if (!AAllowed.empty() && std::find(AAllowed.begin(), AAllowed.end(), ACode) == AAllowed.end())
    RaiseReplyError();
  return ACode;
}

void TIdTCPConnection::RaiseReplyError() {
  throw EIdProtocolReplyError(FLastReply->NumericCode(), FLastReply->Text().Text());
}

void TIdTCPConnection::RaiseReplyErrorAs(TIdExceptionClass AClass) {
  const std::string Message = FLastReply->Text().Text();
  if (AClass) AClass(Message);
  throw EIdException(Message); // a class reference that did not raise
}

// Writing ------------------------------------------------------------------------------------

void TIdTCPConnection::WriteBytes(const void* ABuffer, int32_t ACount) {
  if (ACount <= 0 || !ABuffer) return;
  DetectDisconnect(RaiseIfClosed, IgnoreBuffer);
  if (!IsConnected()) throw EIdNotConnected();
  if (!FIntercept) {
    // Nothing changes the bytes on their way: they go out from where they are.
    SendAll(static_cast<const char*>(ABuffer), ACount);
    return;
  }
  TIdSimpleBuffer Outgoing;
  Outgoing.WriteBuffer(ABuffer, ACount);
  Outgoing.SetPosition(0);
  FIntercept->InterceptSend(Outgoing);
  SendAll(Outgoing);
}

void TIdTCPConnection::SendAll(TIdSimpleBuffer& ABuffer) {
  SendAll(ABuffer.Memory(), ABuffer.DataSize());
}

void TIdTCPConnection::SendAll(const char* AData, int64_t ATotal) {
  const int64_t Total = ATotal;
  int64_t Sent = 0;
  while (Sent < Total) {
    const auto Chunk = static_cast<int32_t>(std::min<int64_t>(Total - Sent, INT32_MAX));
    int32_t N;
    {
      TIOUse Handler(*this);
      if (!Handler) throw EIdNotConnected();
      N = Handler->SendBytes(AData + Sent, Chunk);
    }
    TIdAntiFreezeBase::AntiFreezeStep(TIdAntiFreezeBase::Busy, TIdAntiFreezeBase::NoOverride);
    if (N == 0) FPeerClosed = true;
    DetectDisconnect(RaiseIfClosed, DrainBufferFirst);
    // A transport that takes nothing is closed for writing, unread input or not.
    if (N == 0) throw EIdConnClosedGracefully();
    int32_t Error = 0;
    if (IsIgnoredSocketError(N, {WSA::ESHUTDOWN_, WSA::ECONNABORTED_, WSA::ECONNRESET_}, Error)) {
      CloseTransport();
      GlobalStack()->ThrowSocketError(Error);
    }
    NotifyWork(TWorkMode::wkWrite, N);
    Sent += N;
  }
}

void TIdTCPConnection::WriteText(const std::string& AText) {
  if (AText.empty()) return;
  WriteBytes(AText.data(), static_cast<int32_t>(AText.size()));
}

void TIdTCPConnection::WriteLine(const std::string& AText) {
  WriteText(AText + CRLF);
}

void TIdTCPConnection::WriteInt32(int32_t AValue, bool ANetworkOrder) {
  uint32_t Value = static_cast<uint32_t>(AValue);
  if (ANetworkOrder) Value = GlobalStack()->SockHostToNet32(Value);
  WriteBytes(&Value, sizeof(Value));
}

void TIdTCPConnection::WriteFromStream(TStream& AStream, bool AFromStart, bool AWriteByteCount,
                                       int32_t ACount) {
  if (AFromStart) AStream.SetPosition(0);
  const int64_t Start = AStream.Position();
  const int64_t End = ACount == 0 ? AStream.Size() : Start + ACount;
  if (AWriteByteCount) WriteInt32(static_cast<int32_t>(End - Start), NetworkOrder);
  NotifyWorkBegin(TWorkMode::wkWrite, static_cast<int32_t>(End - Start));
  try {
    // A block size below 1 would end the loop at once and silently send nothing.
    std::string Block(static_cast<size_t>(std::max(FSendBufferSize, 1)), '\0');
    for (;;) {
      const auto Want = static_cast<int32_t>(
          std::min<int64_t>(End - AStream.Position(), static_cast<int64_t>(Block.size())));
      if (Want <= 0) break;
      const int32_t Got = AStream.Read(Block.data(), Want);
      if (Got <= 0) throw EIdNoDataToRead();
      WriteBytes(Block.data(), Got);
    }
  } catch (...) {
    NotifyWorkEnd(TWorkMode::wkWrite);
    throw;
  }
  NotifyWorkEnd(TWorkMode::wkWrite);
}

uint32_t TIdTCPConnection::SendFile(const std::string& AFileName, bool AAllowTransmitHook) {
  if (!FileExists(AFileName)) throw MakeFileNotFound(AFileName);
  const TIdFileTransmitter Transmitter = FileTransmitter();
  if (Transmitter && !FIntercept && AAllowTransmitHook) {
    TIOUse Handler(*this);
    auto* Socket = dynamic_cast<TIdIOHandlerSocket*>(Handler.Get());
    if (Socket && Socket->WholeFileSendAllowed())
      return static_cast<uint32_t>(Socket->TransmitFile(Transmitter, AFileName));
  }
  TFileStream File(AFileName, fmOpenRead);
  WriteFromStream(File, true, false, 0);
  return static_cast<uint32_t>(File.Size());
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
