// SPDX-License-Identifier: MIT
#include "idframework/connection/IdIOHandlerSocket.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "idframework/connection/detail/IdConnectRace.h"
#include "idframework/core/IdAntiFreezeBase.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdGlobal.h"
#include "idframework/net/IdSocketHandle.h"

namespace Id {

// The local end an outgoing connect binds to.
struct TIdIOHandlerSocket::TBound {
  std::string IP;
  int32_t Port;
  int32_t PortMin;
  int32_t PortMax;
};

namespace {

// The limit of a connect (ms or TimeoutInfinite), nothing for a connect that simply blocks.
std::optional<int32_t> ConnectLimit(int32_t ATimeout) {
  if (ATimeout != -1 && ATimeout != 0) return ATimeout;
  if (TIdAntiFreezeBase::AntiFreezeActive()) return 120000;
  return std::nullopt;
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

// A connect racing on sockets of its own is ended first, so that it cannot hand the transport
// a socket after this close.
void TIdIOHandlerSocket::CloseIO() {
  if (FRacing.load()) {
    TLockGuard<TMutex> Guard(FRaceLock);
    if (FRace) FRace->Cancel();
  }
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
  if (!FSocketHandle) throw EIdConnClosedGracefully();
  return ReceiveWhenReadableOn(*FSocketHandle, ABuffer, ALength, ATimeout);
}

std::optional<int32_t> TIdIOHandlerSocket::ReceiveWhenReadableOn(TIdSocketHandle& AHandle,
                                                                 void* ABuffer, int32_t ALength,
                                                                 int32_t ATimeout) {
  if (ATimeout != TimeoutInfinite || TIdAntiFreezeBase::AntiFreezeActive()) {
    if (!AHandle.WaitReadable(ATimeout)) return std::nullopt;
    return AHandle.ReceiveInto(ABuffer, ALength, 0);
  }
  if (!AHandle.IsAllocated()) throw EIdConnClosedGracefully();
  int32_t Received;
  try {
    Received = AHandle.ReceiveInto(ABuffer, ALength, 0);
  } catch (const EIdClosedSocket&) {
    throw EIdConnClosedGracefully(); // closed between the test and the call
  }
  if (Received <= 0 && !AHandle.IsAllocated()) throw EIdConnClosedGracefully();
  return Received;
}

int32_t TIdIOHandlerSocket::SendBytes(const void* ABuffer, int32_t ALength) {
  if (FSendTimeout > 0) return OpenHandle().SendWithin(ABuffer, ALength, FSendTimeout);
  return OpenHandle().SendFrom(ABuffer, ALength, 0);
}

void TIdIOHandlerSocket::SetSendTimeout(int32_t AMilliseconds) {
  FSendTimeout = std::max(AMilliseconds, 0);
  if (FSocketHandle && FSocketHandle->IsAllocated()) ApplySendTimeout();
}

void TIdIOHandlerSocket::ApplySendTimeout() {
  const int32_t Ms = FSendTimeout;
  FSocketHandle->SetOption(Id_SOL_SOCKET, Id_SO_SNDTIMEO, &Ms, sizeof(Ms));
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
  const TBound Bound{ABoundIP, ABoundPort, ABoundPortMin, ABoundPortMax};
  const std::optional<int32_t> Limit = ConnectLimit(ATimeout);
  if (const auto Version = TIdStack::IPVersionOfText(TargetHost))
    ConnectToVersion(*Version, TargetHost, TargetPort, Bound, Limit);
  else if (FIPVersions != TIdIPVersions::vsBoth)
    ConnectToVersion(FIPVersions == TIdIPVersions::vsIPv6 ? TIdIPVersion::ivIPv6
                                                          : TIdIPVersion::ivIPv4,
                     TargetHost, TargetPort, Bound, Limit);
  else
    ConnectToAny(TargetHost, TargetPort, Bound, Limit);
  if (FSendTimeout > 0) ApplySendTimeout();
  if (!Socks) return;
  // Settings shared between transports talk through the one that is connecting.
  Socks->SetOwnerTransport(this);
  Socks->NegotiateSocks(AHost, APort);
}

// One version known before the lookup: the socket is made and bound first, then the host's
// first address of that version is looked up.
void TIdIOHandlerSocket::ConnectToVersion(TIdIPVersion AVersion, const std::string& AHost,
                                          int32_t APort, const TBound& ABound,
                                          std::optional<int32_t> ALimit) {
  PrepareSocket(*FSocketHandle, AVersion, ABound);
  TIdStack& Stack = *GlobalStack();
  if (!TIdStack::IPVersionOfText(AHost)) NotifyStatus(TIdStatus::stResolving, {AHost});
  FSocketHandle->SetRemote(
      AVersion == TIdIPVersion::ivIPv4
          ? Stack.LookupHost(AHost)
          : Stack.LookupHostAddresses(AHost, TIdIPVersions::vsIPv6).front().Text,
      APort);
  FinishConnect(ALimit);
}

// Both versions: every address of the host races, unless there is only one.
void TIdIOHandlerSocket::ConnectToAny(const std::string& AHost, int32_t APort, const TBound& ABound,
                                      std::optional<int32_t> ALimit) {
  NotifyStatus(TIdStatus::stResolving, {AHost});
  TIdIPAddressList Addresses =
      TIdConnectRace::Interleave(GlobalStack()->LookupHostAddresses(AHost, TIdIPVersions::vsBoth));
  if (const auto BoundVersion = TIdStack::IPVersionOfText(ABound.IP))
    std::erase_if(Addresses, [&](const TIdIPAddress& A) { return A.Version != *BoundVersion; });
  if (Addresses.empty()) GlobalStack()->ThrowSocketError(WSA::EAFNOSUPPORT_);
  if (Addresses.size() == 1) {
    PrepareSocket(*FSocketHandle, Addresses[0].Version, ABound);
    FSocketHandle->SetRemote(Addresses[0].Text, APort);
    FinishConnect(ALimit);
    return;
  }
  TIdConnectRace Race(std::move(Addresses), [&](TIdSocketHandle& H, const TIdIPAddress& A) {
    PrepareSocket(H, A.Version, ABound);
    H.SetRemote(A.Text, APort);
    NotifyStatus(TIdStatus::stConnecting, {A.Text});
  });
  RunRace(Race, ALimit.value_or(TimeoutInfinite), ALimit.has_value());
}

// A socket of AVersion, bound, with its options.
void TIdIOHandlerSocket::PrepareSocket(TIdSocketHandle& AHandle, TIdIPVersion AVersion,
                                       const TBound& ABound) {
  AHandle.SetIPVersion(AVersion);
  AHandle.OpenSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
  AHandle.SetIP(ABound.IP);
  AHandle.SetPort(ABound.Port);
  AHandle.SetClientPortMin(ABound.PortMin);
  AHandle.SetClientPortMax(ABound.PortMax);
  AHandle.BindLocal();
  if (!FUseNagle)
    AHandle.SetOption(Id_IPPROTO_TCP, Id_TCP_NODELAY, &OptionTrue, sizeof(OptionTrue));
}

// The connect of the transport's own socket, its remote end set.
void TIdIOHandlerSocket::FinishConnect(std::optional<int32_t> ALimit) {
  NotifyStatus(TIdStatus::stConnecting, {FSocketHandle->RemoteIP()});
  if (ALimit)
    ConnectWithTimeout(*ALimit);
  else
    ConnectBlocking();
}

void TIdIOHandlerSocket::ConnectBlocking() {
  GlobalStack()->CheckSocketResult(OpenHandle().ConnectToRemote());
}

// The connect runs inside the handle, so a CloseIO meanwhile shuts the socket down, which ends
// a pending connect (a plain close would not on every platform).
void TIdIOHandlerSocket::ConnectWithTimeout(int32_t ATimeout) {
  TIdConnectRace Race(OpenHandle());
  RunRace(Race, ATimeout, true);
}

// The race is known to CloseIO while it runs. A CloseIO that comes after the winner was taken
// over but before the race is forgotten closes the new socket and fails the connect all the
// same.
void TIdIOHandlerSocket::RunRace(TIdConnectRace& ARace, int32_t ATimeout, bool AReportAsTimed) {
  SetRace(&ARace);
  TIdSocketHandle* Winner;
  try {
    Winner = &ARace.Run(ATimeout, AReportAsTimed);
  } catch (...) {
    SetRace(nullptr);
    throw;
  }
  if (Winner != FSocketHandle.get()) FSocketHandle->TakeSocketFrom(*Winner);
  SetRace(nullptr);
  try {
    ARace.CheckNotCancelled();
  } catch (...) {
    FSocketHandle->CloseDescriptor();
    throw;
  }
}

void TIdIOHandlerSocket::SetRace(TIdConnectRace* ARace) {
  TLockGuard<TMutex> Guard(FRaceLock);
  FRace = ARace;
  FRacing.store(ARace != nullptr);
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
