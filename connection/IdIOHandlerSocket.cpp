#include "connection/IdIOHandlerSocket.h"

#include <algorithm>
#include <atomic>

#include "core/IdAntiFreezeBase.h"
#include "core/IdException.h"
#include "core/IdGlobal.h"
#include "net/IdSocketHandle.h"
#include "runtime/Thread.h"

namespace Id {

namespace {

// Runs one blocking connect of TargetHandle so that the caller can time it out.
class TIdConnectThread : public TThread {
public:
  explicit TIdConnectThread(TIdSocketHandle* ATargetHandle)
      : TThread(true), FTargetHandle(ATargetHandle) {}
  ~TIdConnectThread() override { TerminateWakeAndWait(); }

  /// Set once the connect has ended; FailureText is final from then on.
  bool Completed() const noexcept { return FCompleted.load(std::memory_order_acquire); }
  /// Empty unless the connect failed.
  const std::string& FailureText() const noexcept { return FFailureText; }

protected:
  void Execute() override {
    try {
      // 10009 and 10038 are what a socket closed under the connect by the timing-out side
      // reports; that side raises the timeout itself.
      GlobalStack()->CheckSocketResult(FTargetHandle->ConnectToRemote(Id_PF_INET),
                                       {WSA::EBADF_, WSA::ENOTSOCK_});
    } catch (const std::exception& E) {
      FFailureText = E.what();
    }
    FCompleted.store(true, std::memory_order_release);
    Terminate();
  }

private:
  TIdSocketHandle* FTargetHandle; // not owned; the transport outlives this thread
  std::string FFailureText;
  std::atomic<bool> FCompleted{false};
};

int32_t ConnectWaitSlice() {
  constexpr int32_t Slice = 125;
  if (!TIdAntiFreezeBase::AntiFreezeActive()) return Slice;
  return std::min(TIdAntiFreezeBase::Instance()->IdleTimeOut, Slice);
}

} // namespace

// One call of the transport's user inside the socket. While any is open, CloseIO only shuts the
// socket down (which wakes the call) and leaves the close to the last one out, so no call ever
// runs on a descriptor that has been closed. No lock: a call counts itself in before it reads
// the pending flag, and CloseIO sets the flag before it reads the count, so at least one of
// them sees the other.
class TIdIOHandlerSocket::TCallGuard {
public:
  explicit TCallGuard(TIdIOHandlerSocket& ATransport) : FTransport(ATransport) {
    ATransport.FActiveCalls.fetch_add(1);
    TIdSocketHandle* const Handle = ATransport.FOpenedHandle.load();
    FEntered = Handle && !ATransport.FClosePending.load() && Handle->IsAllocated();
    if (!FEntered) Leave();
  }
  ~TCallGuard() {
    if (FEntered) Leave();
  }
  TCallGuard(const TCallGuard&) = delete;
  TCallGuard& operator=(const TCallGuard&) = delete;

  bool Entered() const noexcept { return FEntered; }
  /// True when CloseIO ran while this call was inside.
  bool ClosedMeanwhile() const { return FTransport.FClosePending.load(); }

private:
  void Leave() {
    if (FTransport.FActiveCalls.fetch_sub(1) == 1 && FTransport.FClosePending.load())
      FTransport.CloseWhenUnused();
  }

  TIdIOHandlerSocket& FTransport;
  bool FEntered = false;
};

TIdIOHandlerSocket::TIdIOHandlerSocket(TComponent* AOwner) : TIdIOHandler(AOwner) {
  FUseNagle = true;
}

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  if (FSocksInfo && FSocksInfo != FOwnedSocksInfo.get()) RemoveFreeNotification(FSocksInfo);
  FSocksInfo = nullptr;
  FOwnedSocksInfo.reset();
  FOpenedHandle = nullptr;
  FSocketHandle.reset();
}

void TIdIOHandlerSocket::OpenIO() {
  std::lock_guard<std::mutex> Guard(FLock);
  if (!FSocketHandle) {
    FSocketHandle = std::make_unique<TIdSocketHandle>(nullptr);
    FOpenedHandle = FSocketHandle.get();
    return;
  }
  // Forgetting a socket that is still open would leak it.
  FSocketHandle->CloseDescriptor();
  FSocketHandle->ClearBinding(true);
  FClosePending = false;
}

void TIdIOHandlerSocket::CloseIO() {
  std::unique_lock<std::mutex> Guard(FLock);
  if (!FSocketHandle || !FSocketHandle->IsAllocated() || FClosePending) return;
  FClosePending.store(true); // calls that begin from now on stay out
  if (FActiveCalls.load() == 0) {
    FSocketHandle->CloseUnusedDescriptor();
    FClosePending.store(false);
    return;
  }
  // A call is inside the socket: wake it now; the last one out closes. The wake-up counts as a
  // call itself, so it runs outside the lock and still on an open descriptor: the woken thread
  // does not queue on the lock behind the shutdown that woke it.
  FActiveCalls.fetch_add(1);
  const TIdSocketDescriptor Descriptor = FSocketHandle->Descriptor();
  Guard.unlock();
  GlobalStack()->SockShutdown(Descriptor, Id_SD_Both);
  if (FActiveCalls.fetch_sub(1) == 1 && FClosePending.load()) CloseWhenUnused();
}

// The deferred close, by the last call out of a socket that CloseIO shut down. Closed before the
// flag is cleared: IsOpen and the calls read the flag first, so none takes the socket for open
// in between.
void TIdIOHandlerSocket::CloseWhenUnused() {
  std::lock_guard<std::mutex> Guard(FLock);
  if (FActiveCalls.load() != 0 || !FClosePending.load()) return;
  FSocketHandle->CloseUnusedDescriptor();
  FClosePending.store(false);
}

// Asked before every read and write: answered without the lock. The pending flag is read
// before the handle's own flag, the reverse of the order in which a deferred close changes them.
bool TIdIOHandlerSocket::IsOpen() {
  const bool ClosePending = FClosePending.load();
  TIdSocketHandle* Handle = FOpenedHandle.load();
  return Handle && !ClosePending && Handle->IsAllocated();
}

TIdSocketDescriptor TIdIOHandlerSocket::Descriptor() {
  std::lock_guard<std::mutex> Guard(FLock);
  if (!FSocketHandle || !FSocketHandle->IsAllocated() || FClosePending)
    return InvalidSocketDescriptor;
  return FSocketHandle->Descriptor();
}

bool TIdIOHandlerSocket::AwaitReadable(int32_t ATimeout) {
  TCallGuard Call(*this);
  if (!Call.Entered()) throw EIdConnClosedGracefully();
  const bool Readable = FSocketHandle->WaitReadable(ATimeout);
  // A close from another thread makes the socket readable; report it as the close it is.
  if (Call.ClosedMeanwhile()) throw EIdConnClosedGracefully();
  return Readable;
}

int32_t TIdIOHandlerSocket::ReceiveBytes(void* ABuffer, int32_t ALength) {
  TCallGuard Call(*this);
  if (!Call.Entered()) throw EIdClosedSocket();
  return FSocketHandle->ReceiveInto(ABuffer, ALength, 0);
}

// Without a time limit, and with no anti-freeze that must run while waiting, a blocking receive
// waits exactly as the readable wait would: one call into the system per read instead of two.
// A close from another thread wakes the receive with nothing; it is reported as the wait would
// report it.
std::optional<int32_t> TIdIOHandlerSocket::ReceiveWhenReadable(void* ABuffer, int32_t ALength,
                                                               int32_t ATimeout) {
  if (ATimeout != TimeoutInfinite || TIdAntiFreezeBase::AntiFreezeActive())
    return TIdIOHandler::ReceiveWhenReadable(ABuffer, ALength, ATimeout);
  TCallGuard Call(*this);
  if (!Call.Entered()) throw EIdConnClosedGracefully();
  const int32_t Received = FSocketHandle->ReceiveInto(ABuffer, ALength, 0);
  if (Received <= 0 && (Call.ClosedMeanwhile() || !FSocketHandle->IsAllocated()))
    throw EIdConnClosedGracefully();
  return Received;
}

int32_t TIdIOHandlerSocket::SendBytes(const void* ABuffer, int32_t ALength) {
  TCallGuard Call(*this);
  if (!Call.Entered()) throw EIdClosedSocket();
  return FSocketHandle->SendFrom(ABuffer, ALength, 0);
}

int64_t TIdIOHandlerSocket::TransmitFile(TIdFileTransmitter ATransmitter,
                                         const std::string& AFileName) {
  TCallGuard Call(*this);
  if (!Call.Entered()) throw EIdClosedSocket();
  return ATransmitter(FSocketHandle->Descriptor(), AFileName);
}

bool TIdIOHandlerSocket::WholeFileSendAllowed() {
  return true;
}

void TIdIOHandlerSocket::ConnectTo(const std::string& AHost, int32_t APort,
                                   const std::string& ABoundIP, int32_t ABoundPort,
                                   int32_t ABoundPortMin, int32_t ABoundPortMax, int32_t ATimeout) {
  if (!FSocketHandle) OpenIO();
  TIdSocksInfo* Socks = SocksInfo();
  const bool ViaProxy = Socks && Socks->Version() != TSocksVersion::svNoSocks;
  const std::string TargetHost = ViaProxy ? Socks->Host() : AHost;
  const int32_t TargetPort = ViaProxy ? Socks->Port() : APort;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FSocketHandle->OpenSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
    FClosePending = false;
  }
  FSocketHandle->SetIP(ABoundIP);
  FSocketHandle->SetPort(ABoundPort);
  FSocketHandle->SetClientPortMin(ABoundPortMin);
  FSocketHandle->SetClientPortMax(ABoundPortMax);
  FSocketHandle->BindLocal();
  if (!TIdStack::IsIPAddressText(TargetHost)) NotifyStatus(TIdStatus::stResolving, {TargetHost});
  FSocketHandle->SetRemote(GlobalStack()->LookupHost(TargetHost), TargetPort);
  if (!FUseNagle)
    FSocketHandle->SetOption(Id_IPPROTO_TCP, Id_TCP_NODELAY, &OptionTrue, sizeof(OptionTrue));
  NotifyStatus(TIdStatus::stConnecting, {FSocketHandle->RemoteIP()});
  if (ATimeout != -1 && ATimeout != 0)
    ConnectWithTimeout(ATimeout);
  else if (TIdAntiFreezeBase::AntiFreezeActive())
    ConnectWithTimeout(120000);
  else
    ConnectBlocking();
  if (!Socks) return;
  // Settings shared between transports talk through the one that is connecting.
  Socks->SetOwnerTransport(this);
  Socks->NegotiateSocks(AHost, APort);
}

void TIdIOHandlerSocket::ConnectBlocking() {
  TCallGuard Call(*this);
  if (!Call.Entered()) throw EIdClosedSocket();
  GlobalStack()->CheckSocketResult(FSocketHandle->ConnectToRemote(Id_PF_INET));
}

void TIdIOHandlerSocket::ConnectWithTimeout(int32_t ATimeout) {
  const bool Unlimited = ATimeout == TimeoutInfinite;
  // The connect thread's call counts as ours: a CloseIO meanwhile shuts the socket down, which
  // ends a pending connect (a plain close would not on every platform).
  TCallGuard Call(*this);
  if (!Call.Entered()) throw EIdClosedSocket();
  auto Thread = std::make_unique<TIdConnectThread>(FSocketHandle.get());
  Thread->Resume();
  const int32_t Slice = ConnectWaitSlice();
  int32_t Remaining = Unlimited ? Slice + 1 : ATimeout;
  while (Slice < Remaining) {
    SleepMs(static_cast<uint32_t>(Slice));
    Remaining -= Slice;
    if (Unlimited) Remaining = Slice + 1;
    TIdAntiFreezeBase::AntiFreezeStep(true, false);
    if (Thread->Completed()) {
      Remaining = 0;
      break;
    }
  }
  SleepMs(static_cast<uint32_t>(std::max(Remaining, 0)));
  if (Thread->Completed()) {
    if (!Thread->FailureText().empty()) throw EIdConnectException(Thread->FailureText());
    return;
  }
  Thread->Terminate();
  CloseIO();
  Thread->WaitFor();
  throw EIdConnectTimeout();
}

TIdSocksInfo* TIdIOHandlerSocket::SocksInfo() {
  if (!FSocksInfo && !IsDesigning()) {
    FOwnedSocksInfo = std::make_unique<TIdSocksInfo>(nullptr);
    FSocksInfo = FOwnedSocksInfo.get();
    FSocksInfo->SetOwnerTransport(this);
  }
  return FSocksInfo;
}

void TIdIOHandlerSocket::SetSocksInfo(TIdSocksInfo* AValue) {
  if (AValue && AValue == FSocksInfo) return;
  if (!AValue || AValue->Owner()) {
    if (FSocksInfo && FSocksInfo != FOwnedSocksInfo.get()) RemoveFreeNotification(FSocksInfo);
    FSocksInfo = nullptr;
    FOwnedSocksInfo.reset();
    if (!AValue) return;
    FSocksInfo = AValue;
    FreeNotification(AValue);
    AValue->SetOwnerTransport(this);
    return;
  }
  // Settings without owner are copied into the transport's own settings.
  if (FSocksInfo && FSocksInfo != FOwnedSocksInfo.get()) {
    RemoveFreeNotification(FSocksInfo);
    FSocksInfo = nullptr;
  }
  if (!FOwnedSocksInfo) {
    FOwnedSocksInfo = std::make_unique<TIdSocksInfo>(nullptr);
    FSocksInfo = FOwnedSocksInfo.get();
  }
  FSocksInfo->Assign(*AValue);
  FSocksInfo->SetOwnerTransport(this);
}

void TIdIOHandlerSocket::Notification(TComponent* AComponent, TOperation AOperation) {
  TIdIOHandler::Notification(AComponent, AOperation);
  if (AOperation == TOperation::opRemove && AComponent && AComponent == FSocksInfo &&
      AComponent != FOwnedSocksInfo.get())
    FSocksInfo = nullptr;
}

} // namespace Id
