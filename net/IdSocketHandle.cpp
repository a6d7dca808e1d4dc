#include "net/IdSocketHandle.h"

#include <typeinfo>

#include "core/IdAntiFreezeBase.h"
#include "core/IdDebugCounters.h"
#include "core/IdException.h"

namespace Id {

TIdSocketHandle::TIdSocketHandle(TCollection* ACollection) : TCollectionItem(ACollection) {
  DebugCountUp(TIdDebugCounter::dcSocketHandles);
  ClearBinding(true);
  FClientPortMin = 0;
  FClientPortMax = 0;
  if (const auto* Handles = dynamic_cast<const TIdSocketHandles*>(ACollection))
    FPort = Handles->DefaultPort();
}

TIdSocketHandle::~TIdSocketHandle() {
  DebugCountDown(TIdDebugCounter::dcSocketHandles);
  CloseDescriptor();
  ReleaseDescriptorHold();
}

void TIdSocketHandle::Assign(const TCollectionItem& ASource) {
  // Only exactly this class copies; anything else gets the collection item's refusal.
  if (typeid(ASource) != typeid(*this)) {
    TCollectionItem::Assign(ASource);
    return;
  }
  const auto& Source = static_cast<const TIdSocketHandle&>(ASource);
  FIP = Source.FIP;
  FPort = Source.FPort;
  FRemoteIP = Source.FRemoteIP;
  FRemotePort = Source.FRemotePort;
}

void TIdSocketHandle::OpenSocket(int32_t ASocketType, int32_t AProtocol) {
  CloseDescriptor();
  ReleaseDescriptorHold();
  TakeDescriptor(GlobalStack()->NewSocket(ASocketType, AProtocol));
}

bool TIdSocketHandle::TakeAllocatedDescriptor(TIdSocketDescriptor& ADescriptor) {
  // Taking the flag away atomically makes a close racing with another close happen once;
  // clearing it first lets the user's next WaitReadable see the handle closed.
  uint64_t State = FSocket.load();
  do {
    if (!(State & AllocatedBit)) return false;
  } while (!FSocket.compare_exchange_weak(State, State & ~AllocatedBit));
  ADescriptor = static_cast<TIdSocketDescriptor>(State);
  return true;
}

void TIdSocketHandle::CloseDescriptor() {
  TIdSocketDescriptor D;
  if (!TakeAllocatedDescriptor(D)) return;
  TIdStack* Stack = GlobalStack();
  if (!Stack) return; // no component left: the process is tearing down
  Stack->SockShutdown(D, Id_SD_Send);
  Stack->SockClose(D);
}

void TIdSocketHandle::CloseUnusedDescriptor() {
  TIdSocketDescriptor D;
  if (!TakeAllocatedDescriptor(D)) return;
  TIdStack* Stack = GlobalStack();
  if (!Stack) return;
  Stack->SockShutdown(D, Id_SD_Send);
  // Without the reservation the close gives the number back at once rather than parking it.
  if (FHoldsDescriptor.exchange(false)) Stack->ReleaseDescriptor(D);
  Stack->SockClose(D);
}

int32_t TIdSocketHandle::ConnectToRemote(int32_t AFamily) {
  const int32_t Result = GlobalStack()->SockConnect(Descriptor(), AFamily, FRemoteIP, FRemotePort);
  if (Result != SocketErrorResult) {
    ReadLocalBinding();
    ReadRemoteBinding();
  }
  return Result;
}

int32_t TIdSocketHandle::ReceiveFrom(void* ABuffer, int32_t ALength, int32_t AFlags,
                                     std::string& AIP, int32_t& APort) {
  return GlobalStack()->SockRecvFrom(Descriptor(), ABuffer, ALength, AFlags, AIP, APort);
}

int32_t TIdSocketHandle::ReceiveInto(void* ABuffer, int32_t ALength, int32_t AFlags) {
  return GlobalStack()->SockRecv(Descriptor(), ABuffer, ALength, AFlags);
}

int32_t TIdSocketHandle::SendFrom(const void* ABuffer, int32_t ALength, int32_t AFlags) {
  return GlobalStack()->SockSend(Descriptor(), ABuffer, ALength, AFlags);
}

void TIdSocketHandle::SetOption(int32_t ALevel, int32_t AOptName, const void* AOptVal,
                                int32_t AOptLen) {
  TIdStack* Stack = GlobalStack();
  Stack->CheckSocketResult(Stack->SockSetOption(Descriptor(), ALevel, AOptName, AOptVal, AOptLen));
}

void TIdSocketHandle::BindLocal() {
  // A fixed port always wins over a range, and a range needs both bounds.
  if (FPort != 0 || FClientPortMin == 0 || FClientPortMax == 0) {
    if (!BindOnce()) throw EIdCouldNotBindSocket();
    return;
  }
  if (FClientPortMin > FClientPortMax) throw MakeInvalidPortRange(FClientPortMin, FClientPortMax);
  if (!BindInPortRange()) throw MakeCanNotBindPortInRange(FClientPortMin, FClientPortMax);
}

bool TIdSocketHandle::BindOnce() {
  TIdStack* Stack = GlobalStack();
  const int32_t Result = Stack->SockBind(Descriptor(), Id_PF_INET, FIP, FPort);
  if (Stack->CheckSocketResult(Result, {WSA::EADDRINUSE_})) return false;
  ReadLocalBinding();
  return true;
}

bool TIdSocketHandle::BindInPortRange() {
  if (FClientPortMin > FClientPortMax) return false;
  for (int32_t P = FClientPortMax; P >= FClientPortMin; --P) {
    FPort = P;
    if (BindOnce()) return true;
  }
  return false;
}

void TIdSocketHandle::StartListening(int32_t ABacklog) {
  TIdStack* Stack = GlobalStack();
  Stack->CheckSocketResult(Stack->SockListen(Descriptor(), ABacklog));
}

bool TIdSocketHandle::AcceptFrom(TIdSocketDescriptor AListening) {
  ClearBinding(true);
  TIdStack* Stack = GlobalStack();
  const TIdSocketDescriptor D = Stack->SockAccept(AListening, FIP, FPort);
  // A listener closed by another thread reports 10038; its accept is no connection.
  if (Stack->CheckSocketResult(static_cast<int32_t>(D), {WSA::EINTR_, WSA::ENOTSOCK_})) {
    FIP.clear();
    FPort = 0;
    return false;
  }
  TakeDescriptor(D);
  // The accept reported the client's address already: asking the system again would only
  // cost a call (and fail if the client has gone meanwhile).
  FRemoteIP.swap(FIP);
  FRemotePort = FPort;
  ReadLocalBinding();
  return true;
}

bool TIdSocketHandle::WaitReadable(int32_t ATimeout) {
  if (!IsAllocated()) throw EIdConnClosedGracefully();
  if (TIdAntiFreezeBase::AntiFreezeActive()) {
    const int32_t Slice = TIdAntiFreezeBase::Instance()->IdleTimeOut;
    if (ATimeout == TimeoutInfinite) {
      while (!WaitReadable(Slice)) {
      }
      return true;
    }
    if (ATimeout > Slice) {
      if (WaitReadable(ATimeout - Slice)) return true;
      ATimeout = Slice;
    }
  }
  const bool Readable = SelectReadable(Descriptor(), ATimeout);
  // A close by another thread ends the wait early; report it as the closed handle it is
  // rather than as a timeout.
  if (!Readable && !IsAllocated()) throw EIdConnClosedGracefully();
  return Readable;
}

bool TIdSocketHandle::WaitDescriptorReadable(TIdSocketDescriptor ADescriptor, int32_t ATimeout) {
  return SelectReadable(ADescriptor, ATimeout);
}

bool TIdSocketHandle::SelectReadable(TIdSocketDescriptor ADescriptor, int32_t ATimeout) {
  TIdSocketDescriptorList ReadList{ADescriptor};
  const bool Readable = GlobalStack()->SockSelect(&ReadList, nullptr, nullptr, ATimeout) == 1;
  TIdAntiFreezeBase::AntiFreezeStep(!Readable, false);
  return Readable;
}

void TIdSocketHandle::SetRemote(const std::string& AIP, int32_t APort) {
  FRemoteIP = AIP;
  FRemotePort = APort;
}

void TIdSocketHandle::ReadLocalBinding() {
  int32_t Family = 0;
  GlobalStack()->SockLocalAddress(Descriptor(), Family, FIP, FPort);
}

void TIdSocketHandle::ReadRemoteBinding() {
  int32_t Family = 0;
  GlobalStack()->SockPeerAddress(Descriptor(), Family, FRemoteIP, FRemotePort);
}

void TIdSocketHandle::ClearBinding(bool AResetLocal) {
  ReleaseDescriptorHold();
  FSocket.store(InvalidSocketDescriptor);
  if (AResetLocal) {
    FIP.clear();
    FPort = 0;
  }
  FRemoteIP.clear();
  FRemotePort = 0;
}

void TIdSocketHandle::TakeDescriptor(TIdSocketDescriptor ADescriptor) {
  // The reservation keeps the number ours until this thread is done with it, whatever thread
  // closes the socket meanwhile.
  FHoldsDescriptor = GlobalStack()->AcquireDescriptor(ADescriptor);
  FSocket.store(AllocatedBit | ADescriptor);
}

void TIdSocketHandle::ReleaseDescriptorHold() {
  if (!FHoldsDescriptor.exchange(false)) return;
  // Without a stack (no component left) the number stays parked; nothing else can be done.
  if (TIdStack* Stack = GlobalStack()) Stack->ReleaseDescriptor(Descriptor());
}

TIdSocketHandles::TIdSocketHandles(TComponent* AOwner)
    : TOwnedCollectionOf<TIdSocketHandle>(AOwner) {}

TIdSocketHandle* TIdSocketHandles::AddBinding() {
  TIdSocketHandle* Binding = Add();
  Binding->SetPort(FDefaultPort);
  return Binding;
}

TIdSocketHandle* TIdSocketHandles::BindingAt(int AIndex) const {
  return Items(AIndex);
}

} // namespace Id
