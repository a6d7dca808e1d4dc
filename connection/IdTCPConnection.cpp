#include "connection/IdTCPConnection.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <sys/stat.h>

#include "connection/IdIOHandlerSocket.h"
#include "core/IdAntiFreezeBase.h"
#include "core/IdDebugCounters.h"
#include "core/IdException.h"
#include "net/IdStack.h"
#include "server/IdRFCReply.h"

namespace Id {

namespace {

constexpr char CRLF[] = "\r\n";

// The length of the longest proper beginning of ATerminator that ends ABytes (0 when none).
int32_t PartialTerminatorAtEnd(const std::string& ATerminator, const char* ABytes, int32_t ACount) {
  const int32_t Longest = std::min(ACount, static_cast<int32_t>(ATerminator.size()) - 1);
  for (int32_t K = Longest; K > 0; --K)
    if (std::memcmp(ABytes + ACount - K, ATerminator.data(), static_cast<size_t>(K)) == 0) return K;
  return 0;
}

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
  std::lock_guard<std::recursive_mutex> Guard(FIOLock);
  if (FIOUsers.load() != 0) return;
  FRetired.clear();
  FHasRetired.store(false);
}

// Creation, ownership and notification ---------------------------------------------------

TIdTCPConnection::TIdTCPConnection(TComponent* AOwner) : TIdComponent(AOwner) {
  FReadTimeout = 0;
  FLastReply = std::make_unique<TIdRFCReply>(nullptr);
  FReceiveStaging = std::make_unique<TIdSimpleBuffer>();
  FRecvBufferSize = 32768;
  FSendBufferSize = 32768;
  FPendingInput = std::make_unique<TIdManagedBuffer>(
      [this](TIdSimpleBuffer* ASender, int32_t ACount) { InputConsumed(ASender, ACount); });
  FMaxLineLength = 16384;
  DebugCountUp(TIdDebugCounter::dcConnections);
}

TIdTCPConnection::~TIdTCPConnection() {
  DebugCountDown(TIdDebugCounter::dcConnections);
  CloseTransport();
  std::lock_guard<std::recursive_mutex> Guard(FIOLock);
  if (FOwnsIOHandler) ReleaseIOHandlerLocked();
  FOwnsIOHandler = false;
  FRetired.clear();
}

bool TIdTCPConnection::OwnsIOHandler() const {
  std::lock_guard<std::recursive_mutex> Guard(FIOLock);
  return FOwnsIOHandler;
}

void TIdTCPConnection::SetOwnsIOHandler(bool AValue) {
  std::lock_guard<std::recursive_mutex> Guard(FIOLock);
  FOwnsIOHandler = AValue;
  TIdIOHandler* Handler = FIOHandler.load();
  if (AValue && Handler && !FOwnedIOHandler) FOwnedIOHandler.reset(Handler);
  if (!AValue) static_cast<void>(FOwnedIOHandler.release()); // the holder takes it back
}

TIdIOHandler* TIdTCPConnection::IOHandler() const {
  return FIOHandler.load();
}

TIdIOHandlerSocket* TIdTCPConnection::SocketTransport() const {
  std::lock_guard<std::recursive_mutex> Guard(FIOLock);
  return FSocketTransport;
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* AValue) {
  std::lock_guard<std::recursive_mutex> Guard(FIOLock);
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
  std::lock_guard<std::recursive_mutex> Guard(FIOLock);
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
  std::lock_guard<std::recursive_mutex> Guard(FIOLock);
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
  FPendingInput->ClearAll();
  FPeerClosed = false;
}

bool TIdTCPConnection::IOHandlerOpen() {
  TIOUse Handler(*this);
  return Handler && Handler->IsOpen();
}

bool TIdTCPConnection::IsConnected() {
  DetectDisconnect(false, false);
  return IOHandlerOpen();
}

void TIdTCPConnection::DetectDisconnect(bool ARaiseIfClosed, bool AIgnoreBuffer) {
  const std::optional<bool> Told = DisconnectedWithoutCloseSteps();
  const bool Disconnected = Told ? *Told : RunCloseSteps();
  if (Disconnected && ARaiseIfClosed && (AIgnoreBuffer || FPendingInput->UnreadCount() == 0))
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
  std::lock_guard<std::recursive_mutex> Guard(FIOLock);
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
  std::lock_guard<std::recursive_mutex> Guard(FIOLock);
  TIdIOHandler* const Handler = FIOHandler.load();
  if (!Handler) return;
  FPeerClosed = true;
  if (IsDesigning()) return;
  if (FIntercept) FIntercept->InterceptDisconnect();
  Handler->CloseIO();
}

void TIdTCPConnection::CloseConnection() {
  std::lock_guard<std::recursive_mutex> Guard(FIOLock);
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
  if (ATimeout == -1) ATimeout = FReadTimeout == 0 ? TimeoutInfinite : FReadTimeout;
  DetectDisconnect(ARaiseIfClosed, false);
  if (!IsConnected()) {
    if (ARaiseIfClosed) throw EIdNotConnected();
    return 0;
  }
  int32_t N = 0;
  char Resting[RestingReceiveBlock];
  do {
    char* Block = nullptr;
    bool Filled = false;
    {
      TIOUse Handler(*this);
      if (!Handler) {
        // Released by another thread since the test above.
        if (ARaiseIfClosed) throw EIdNotConnected();
        return 0;
      }
      int32_t BlockSize = NextReceiveBlock();
      Block = ReceiveTarget(BlockSize, Resting);
      const std::optional<int32_t> Received =
          Handler->ReceiveWhenReadable(Block, BlockSize, ATimeout);
      if (!Received) {
        FReceiveStaging->Clear();
        if (ARaiseOnTimeout) throw EIdReadTimeout();
        return -1;
      }
      N = *Received;
      Filled = N == BlockSize;
      if (Filled) GrowReceiveBlock(BlockSize);
    }
    // Only ever set here: a close by another thread must not be undone by this result.
    if (N == 0) FPeerClosed = true;
    if (N != 0) N = CheckReceiveResult(N);
    if (N > 0) N = AppendReceived(Block, N);
    KeepStagingWhileFilling(Filled);
    DetectDisconnect(ARaiseIfClosed, false);
  } while (N == 0 && IsConnected());
  return N;
}

// The staging block starts small and doubles, up to RecvBufferSize, each time a receive fills
// it: a connection that exchanges short lines keeps little memory while it waits, and a bulk
// transfer reaches the full block after a few receives. A block size below 1 would read as an
// orderly close.
int32_t TIdTCPConnection::NextReceiveBlock() const noexcept {
  const int32_t Limit = std::max(FRecvBufferSize, 1);
  return std::min(Limit, std::max(FReceiveBlock, FirstReceiveBlock));
}

void TIdTCPConnection::GrowReceiveBlock(int32_t AFilled) noexcept {
  if (AFilled < std::numeric_limits<int32_t>::max() / 2) FReceiveBlock = AFilled * 2;
}

// Where the next receive goes. A connection that holds no staging block (it has been waiting
// for its peer) receives into AResting, a block on the reading thread's stack, so that it holds
// no receive memory while it waits, also when the receive itself does the waiting.
char* TIdTCPConnection::ReceiveTarget(int32_t& ABlockSize, char* AResting) {
  if (!FReceiveStaging->Memory()) {
    ABlockSize = std::min(ABlockSize, RestingReceiveBlock);
    return AResting;
  }
  FReceiveStaging->SetSize(ABlockSize);
  return FReceiveStaging->Memory();
}

// A receive that filled its block (a bulk transfer) keeps, or takes, the staging block for the
// receives that follow. One that did not fill it drained the socket: the connection most likely
// waits for its peer next, and holds no staging memory while it does.
void TIdTCPConnection::KeepStagingWhileFilling(bool AFilled) {
  if (!AFilled)
    FReceiveStaging->Clear();
  else if (!FReceiveStaging->Memory())
    FReceiveStaging->SetSize(NextReceiveBlock());
}

int32_t TIdTCPConnection::CheckReceiveResult(int32_t AResult) {
  int32_t Error = 0;
  if (!IsIgnoredSocketError(AResult, {WSA::ESHUTDOWN_, WSA::ECONNABORTED_}, Error)) return AResult;
  CloseTransport();
  // With unread input the readers drain it first and then see the close.
  if (FPendingInput->UnreadCount() == 0) GlobalStack()->ThrowSocketError(Error);
  return 0;
}

// Passes the ACount bytes received into ABlock through the intercept (which works on the staging
// buffer) and the filter into PendingInput; returns the count that arrived there.
int32_t TIdTCPConnection::AppendReceived(char* ABlock, int32_t ACount) {
  if (FIntercept) {
    if (ABlock != FReceiveStaging->Memory()) {
      FReceiveStaging->SetSize(ACount);
      std::memcpy(FReceiveStaging->Memory(), ABlock, static_cast<size_t>(ACount));
    }
    FReceiveStaging->SetSize(ACount);
    FReceiveStaging->SetPosition(0);
    FIntercept->InterceptReceive(*FReceiveStaging);
    ACount = static_cast<int32_t>(FReceiveStaging->DataSize());
    ABlock = FReceiveStaging->Memory();
  }
  if (FASCIIFilter)
    for (int32_t I = 0; I < ACount; ++I)
      ABlock[I] = static_cast<char>(ABlock[I] & 0x7F);
  FPendingInput->Seek(0, TSeekOrigin::soEnd);
  FPendingInput->WriteBuffer(ABlock, ACount);
  return ACount;
}

std::string TIdTCPConnection::ReadLine(const std::string& ATerminator, int32_t ATimeout,
                                       int32_t AMaxLength) {
  if (AMaxLength == -1) AMaxLength = FMaxLineLength;
  const std::string Terminator = ATerminator.empty() ? std::string("\n") : ATerminator;
  const int32_t Overlap = static_cast<int32_t>(Terminator.size()) - 1;
  FLineWasSplit = false;
  FLineTimedOut = false;
  int32_t FoundAt = 0; // 1-based within the unread bytes
  int32_t Searched = 0;
  for (;;) {
    const int32_t Unread = static_cast<int32_t>(FPendingInput->UnreadCount());
    if (Unread > Searched) {
      // Resume where the last search stopped; step back only far enough to find a longer
      // terminator whose bytes arrived in different receives.
      const int32_t From = std::max(0, Searched - Overlap);
      const int32_t P =
          FindInMemory(Terminator, FPendingInput->UnreadStart() + From, Unread - From);
      if (P > 0) FoundAt = From + P;
      Searched = Unread;
    }
    if (FoundAt > 0) {
      if (AMaxLength != 0 && FoundAt - 1 > AMaxLength) return SplitOrRaise(AMaxLength);
      return TakeLine(FoundAt, Terminator);
    }
    // Checked before every receive, so a line without end costs at most one receive block
    // beyond the limit. Trailing bytes that may begin a terminator still on its way (the CR of
    // CR LF) do not make the line too long yet: the verdict must not depend on the receives.
    if (AMaxLength != 0 &&
        Searched - PartialTerminatorAtEnd(Terminator, FPendingInput->UnreadStart(), Searched) >
            AMaxLength)
      return SplitOrRaise(AMaxLength);
    DetectDisconnect(true, true);
    FLineTimedOut = FillInputBuffer(true, ATimeout, ATimeout == -1) == -1;
    if (FLineTimedOut) return std::string();
  }
}

std::string TIdTCPConnection::TakeLine(int32_t AFoundAt, const std::string& ATerminator) {
  std::string Line =
      FPendingInput->TakeBytes(AFoundAt - 1 + static_cast<int32_t>(ATerminator.size()));
  Line.resize(static_cast<size_t>(AFoundAt - 1));
  if (ATerminator == "\n" && !Line.empty() && Line.back() == '\r') Line.pop_back();
  return Line;
}

std::string TIdTCPConnection::SplitOrRaise(int32_t AMaxLength) {
  if (FMaxLineAction == TIdMaxLineAction::maException) throw EIdReadLnMaxLineLengthExceeded();
  FLineWasSplit = true;
  return FPendingInput->TakeBytes(AMaxLength);
}

std::string TIdTCPConnection::ReadNonBlankLine(int32_t AMaxTries) {
  std::string Result;
  for (int32_t Tries = 0; Result.empty() && Tries < AMaxTries; ++Tries)
    Result = Trim(ReadLine(std::string(), -1, -1));
  return Result;
}

std::string TIdTCPConnection::ReadAvailable() {
  std::string Result;
  ReadAvailableInto(Result);
  return Result;
}

// ReadAvailable appending to AResult, without a string of its own in between.
void TIdTCPConnection::ReadAvailableInto(std::string& AResult) {
  if (IsConnected()) FillInputBuffer(false, -1, true);
  TakePendingInto(AResult);
}

// Every unread byte moves to the end of AResult; the consumption is reported also when it is 0.
void TIdTCPConnection::TakePendingInto(std::string& AResult) {
  const auto Count = static_cast<int32_t>(FPendingInput->UnreadCount());
  if (Count > 0) {
    ReserveBulk(AResult, AResult.size() + static_cast<size_t>(Count));
    AResult.append(FPendingInput->UnreadStart(), static_cast<size_t>(Count));
  }
  FPendingInput->DropBytes(Count);
}

// A result that grows by doubling, where each new block is fresh memory: from a few MiB on it is
// advised for large pages where the system offers them before anything is copied into it, which
// spares most of the page faults that otherwise take much of a bulk read's time. The capacities
// are powers of two, so a result of such a size ends in a block that holds it exactly, not one
// doubling (and one copy of everything) later.
void TIdTCPConnection::ReserveBulk(std::string& AResult, size_t ANeeded) {
  if (ANeeded <= AResult.capacity()) return;
  const size_t Capacity = std::bit_ceil(std::max(ANeeded, AResult.capacity() * 2));
  constexpr size_t BulkFrom = size_t(4) << 20;
  if (Capacity < BulkFrom) {
    AResult.reserve(Capacity);
    return;
  }
  std::string Grown;
  Grown.reserve(Capacity);
  AdviseBulkFill(Grown.data(), Grown.capacity());
  Grown.append(AResult);
  AResult.swap(Grown);
}

std::string TIdTCPConnection::ReadUntilClosed() {
  std::string Result;
  NotifyWorkBegin(TWorkMode::wkRead, 0);
  try {
    while (IsConnected())
      ReadAvailableInto(Result);
    // Input that arrived before a close seen earlier belongs to the result too.
    TakePendingInto(Result);
  } catch (...) {
    NotifyWorkEnd(TWorkMode::wkRead);
    throw;
  }
  NotifyWorkEnd(TWorkMode::wkRead);
  return Result;
}

void TIdTCPConnection::PollClosed(bool ARaiseIfClosed) {
  FillInputBuffer(ARaiseIfClosed, 1, false);
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
  DetectDisconnect(true, true);
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
    TIdAntiFreezeBase::AntiFreezeStep(false, false);
    if (N == 0) FPeerClosed = true;
    DetectDisconnect(true, false);
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
  if (AWriteByteCount) WriteInt32(static_cast<int32_t>(End - Start), true);
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
