#include "connection/IdIOHandlerSocket.h"

#include <algorithm>
#include <atomic>
#include <memory>

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

TIdIOHandlerSocket::TIdIOHandlerSocket(TComponent* AOwner) : TIdIOHandler(AOwner) {
  FUseNagle = true;
}

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  if (FSocksInfo && FSocksInfo != FOwnedSocksInfo.get()) RemoveFreeNotification(FSocksInfo);
  FSocksInfo = nullptr;
  FOwnedSocksInfo.reset();
  FSocketHandle.reset();
}

void TIdIOHandlerSocket::OpenIO() {
  if (!FSocketHandle) {
    FSocketHandle = std::make_unique<TIdSocketHandle>(nullptr);
    return;
  }
  // Forgetting a socket that is still open would leak it.
  FSocketHandle->CloseDescriptor();
  FSocketHandle->ClearBinding(true);
}

void TIdIOHandlerSocket::CloseIO() {
  if (FSocketHandle) FSocketHandle->CloseDescriptor();
}

bool TIdIOHandlerSocket::IsOpen() {
  return FSocketHandle && FSocketHandle->IsAllocated();
}

TIdSocketDescriptor TIdIOHandlerSocket::Descriptor() const noexcept {
  if (!FSocketHandle || !FSocketHandle->IsAllocated()) return InvalidSocketDescriptor;
  return FSocketHandle->Descriptor();
}

// The handle of a transport that has been opened; the calls on it raise EIdClosedSocket when
// its socket is closed.
TIdSocketHandle& TIdIOHandlerSocket::OpenHandle() {
  if (!FSocketHandle) throw EIdClosedSocket();
  return *FSocketHandle;
}

bool TIdIOHandlerSocket::AwaitReadable(int32_t ATimeout) {
  if (!FSocketHandle) throw EIdConnClosedGracefully();
  return FSocketHandle->WaitReadable(ATimeout);
}

int32_t TIdIOHandlerSocket::ReceiveBytes(void* ABuffer, int32_t ALength) {
  return OpenHandle().ReceiveInto(ABuffer, ALength, 0);
}

// Without a time limit, and with no anti-freeze that must run while waiting, a blocking receive
// waits exactly as the readable wait would: one call into the system per read instead of two.
// A close from another thread wakes the receive with nothing; it is reported as the wait would
// report it.
std::optional<int32_t> TIdIOHandlerSocket::ReceiveWhenReadable(void* ABuffer, int32_t ALength,
                                                               int32_t ATimeout) {
  if (ATimeout != TimeoutInfinite || TIdAntiFreezeBase::AntiFreezeActive())
    return TIdIOHandler::ReceiveWhenReadable(ABuffer, ALength, ATimeout);
  if (!IsOpen()) throw EIdConnClosedGracefully();
  int32_t Received;
  try {
    Received = FSocketHandle->ReceiveInto(ABuffer, ALength, 0);
  } catch (const EIdClosedSocket&) {
    throw EIdConnClosedGracefully(); // closed between the test and the call
  }
  if (Received <= 0 && !FSocketHandle->IsAllocated()) throw EIdConnClosedGracefully();
  return Received;
}

int32_t TIdIOHandlerSocket::SendBytes(const void* ABuffer, int32_t ALength) {
  return OpenHandle().SendFrom(ABuffer, ALength, 0);
}

int64_t TIdIOHandlerSocket::TransmitFile(TIdFileTransmitter ATransmitter,
                                         const std::string& AFileName) {
  return OpenHandle().TransmitFile(ATransmitter, AFileName);
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
  FSocketHandle->OpenSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
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
  GlobalStack()->CheckSocketResult(OpenHandle().ConnectToRemote(Id_PF_INET));
}

void TIdIOHandlerSocket::ConnectWithTimeout(int32_t ATimeout) {
  const bool Unlimited = ATimeout == TimeoutInfinite;
  // The connect runs inside the handle, so a CloseIO meanwhile shuts the socket down, which
  // ends a pending connect (a plain close would not on every platform).
  auto Thread = std::make_unique<TIdConnectThread>(&OpenHandle());
  Thread->Resume();
  const int32_t Slice = ConnectWaitSlice();
  int32_t Remaining = Unlimited ? Slice + 1 : ATimeout;
  while (Slice < Remaining) {
    SleepMs(static_cast<uint32_t>(Slice));
    Remaining -= Slice;
    if (Unlimited) Remaining = Slice + 1;
    TIdAntiFreezeBase::AntiFreezeStep(TIdAntiFreezeBase::Idle, TIdAntiFreezeBase::NoOverride);
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
