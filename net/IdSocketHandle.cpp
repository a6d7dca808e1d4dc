// SPDX-License-Identifier: MIT
#include "idframework/net/IdSocketHandle.h"

#include <new>
#include <thread>
#include <typeinfo>

#include "idframework/core/IdAntiFreezeBase.h"
#include "idframework/core/IdException.h"
#include "idframework/core/detail/IdDebugCounters.h"

namespace Id {

// One call inside the socket, for the life of the object: while any call is inside, the
// descriptor stays open (a close only shuts it down), so the call never reaches a number that
// the system has handed to another socket.
class TIdSocketHandle::TCall {
public:
  /// Enters a call; raises EIdClosedSocket "Disconnected." when the handle holds no open socket.
  explicit TCall(TIdSocketHandle& AHandle) : TCall(AHandle, std::nothrow) {
    if (!FEntered) throw EIdClosedSocket();
  }
  /// Enters a call when the handle holds an open socket; the object then tests true.
  TCall(TIdSocketHandle& AHandle, std::nothrow_t) noexcept
      : FHandle(AHandle), FEntered(AHandle.EnterCall()) {}
  ~TCall() {
    if (FEntered) FHandle.LeaveCall();
  }
  TCall(const TCall&) = delete;
  TCall& operator=(const TCall&) = delete;

  explicit operator bool() const noexcept { return FEntered; }
  /// The socket's number, fixed while the call is inside.
  TIdSocketDescriptor Descriptor() const noexcept { return FHandle.Descriptor(); }
  /// True once a close has begun, by any thread.
  bool Closed() const noexcept { return !FHandle.IsAllocated(); }
  /// ARawResult, except that a failure of a call woken by a close from another thread is
  /// reported as what it is: the socket is gone (10038, "Socket operation on non-socket.").
  int32_t Result(int32_t ARawResult) const {
    if (ARawResult == SocketErrorResult && Closed())
      GlobalStack()->ThrowSocketError(WSA::ENOTSOCK_);
    return ARawResult;
  }

private:
  TIdSocketHandle& FHandle;
  const bool FEntered;
};

TIdSocketHandle::TIdSocketHandle(TCollection* ACollection) : TCollectionItem(ACollection) {
  DebugCountUp(TIdDebugCounter::dcSocketHandles);
  if (const auto* Handles = dynamic_cast<const TIdSocketHandles*>(ACollection))
    FPort = Handles->DefaultPort();
}

TIdSocketHandle::~TIdSocketHandle() {
  DebugCountDown(TIdDebugCounter::dcSocketHandles);
  CloseDescriptor();
  WaitUntilNoCall();
}

void TIdSocketHandle::Assign(const TCollectionItem& ASource) {
  // Only exactly this class copies; anything else gets the collection item's refusal.
  if (typeid(ASource) != typeid(*this)) {
    TCollectionItem::Assign(ASource);
    return;
  }
  const auto& Source = static_cast<const TIdSocketHandle&>(ASource);
  FIP = Source.IP();
  FPort = Source.Port();
  FLocalUnread = false;
  FRemoteIP = Source.FRemoteIP;
  FRemotePort = Source.FRemotePort;
  FIPVersion = Source.FIPVersion;
  FDualStack = Source.FDualStack;
  FReusePort = Source.FReusePort;
  FActivationName = Source.FActivationName;
}

// Counting and closing -------------------------------------------------------------------------

bool TIdSocketHandle::EnterCall() noexcept {
  uint64_t State = FState.load();
  do {
    if (State & ClosedBit) return false;
  } while (!FState.compare_exchange_weak(State, State + CallUnit));
  return true;
}

// Once a close has begun no call enters, so the count reaches 0 exactly once: that call closes.
void TIdSocketHandle::LeaveCall() noexcept {
  const uint64_t Now = FState.fetch_sub(CallUnit) - CallUnit;
  if ((Now & ClosedBit) && Now < CallUnit)
    GlobalStack()->SockClose(static_cast<TIdSocketDescriptor>(Now));
}

// The closing thread counts as a call while it shuts the socket down: a plain close wakes no
// call blocked on the socket, shutting both directions down wakes all of them. Without a call
// inside only the sending side is shut down, so the peer sees an orderly end.
void TIdSocketHandle::CloseDescriptor() {
  uint64_t State = FState.load();
  do {
    if (State & ClosedBit) return;
  } while (!FState.compare_exchange_weak(State, (State | ClosedBit) + CallUnit));
  const bool CallsInside = State >= CallUnit;
  if (!IsShared())
    GlobalStack()->SockShutdown(static_cast<TIdSocketDescriptor>(State),
                                CallsInside ? Id_SD_Both : Id_SD_Send);
  LeaveCall();
}

// A thread that closed the socket may still be leaving its call; the word is replaced only
// after it has.
void TIdSocketHandle::WaitUntilNoCall() const noexcept {
  while (FState.load() >= CallUnit)
    std::this_thread::yield();
}

void TIdSocketHandle::TakeDescriptor(TIdSocketDescriptor ADescriptor) {
  WaitUntilNoCall();
  FState.store(ADescriptor);
}

// An IPv6 socket is always told whether it takes IPv4 peers: the platforms' defaults differ.
void TIdSocketHandle::OpenSocket(int32_t ASocketType, int32_t AProtocol) {
  CloseDescriptor();
  TakeDescriptor(GlobalStack()->NewSocket(ASocketType, AProtocol, FIPVersion));
  FShared.store(false, std::memory_order_relaxed);
  if (FIPVersion == TIdIPVersion::ivIPv6) {
    const int32_t V6Only = FDualStack ? 0 : 1;
    SetOption(Id_IPPROTO_IPV6, Id_IPV6_V6ONLY, &V6Only, sizeof(V6Only));
  }
  if (FReusePort) SetOption(Id_SOL_SOCKET, Id_SO_REUSEPORT, &OptionTrue, sizeof(OptionTrue));
}

void TIdSocketHandle::AdoptListening(TIdSocketDescriptor AShared) {
  CloseDescriptor();
  TIdStack* Stack = GlobalStack();
  TakeDescriptor(Stack->SockDuplicate(AShared));
  FShared.store(true, std::memory_order_relaxed);
  int32_t Family = 0;
  {
    TCall Call(*this);
    Stack->SockLocalAddress(Call.Descriptor(), Family, FIP, FPort);
  }
  FLocalUnread = false;
  FIPVersion = Family == Id_PF_INET6 ? TIdIPVersion::ivIPv6 : TIdIPVersion::ivIPv4;
  FRemoteIP.clear();
  FRemotePort = 0;
}

void TIdSocketHandle::TakeSocketFrom(TIdSocketHandle& ASource) {
  ASource.WaitUntilNoCall();
  ASource.ResolveLocalBinding(); // while its socket is still there to ask
  CloseDescriptor();
  const uint64_t Taken = ASource.FState.exchange(ClosedBit | InvalidSocketDescriptor);
  if ((Taken & ClosedBit) == 0) TakeDescriptor(static_cast<TIdSocketDescriptor>(Taken));
  FIPVersion = ASource.FIPVersion;
  FDualStack = ASource.FDualStack;
  FIP = ASource.FIP;
  FPort = ASource.FPort;
  FLocalUnread = false;
  FRemoteIP = ASource.FRemoteIP;
  FRemotePort = ASource.FRemotePort;
  FClientPortMin = ASource.FClientPortMin;
  FClientPortMax = ASource.FClientPortMax;
}

void TIdSocketHandle::ClearBinding(bool AResetLocal) {
  WaitUntilNoCall();
  FState.store(ClosedBit | InvalidSocketDescriptor);
  if (AResetLocal) {
    FIP.clear();
    FPort = 0;
    FLocalUnread = false;
  }
  FRemoteIP.clear();
  FRemotePort = 0;
}

// Calls ----------------------------------------------------------------------------------------

int32_t TIdSocketHandle::ConnectToRemote(int32_t AFamily) {
  int32_t Result;
  {
    TCall Call(*this);
    const int32_t Family = AFamily != 0 ? AFamily : FamilyOf(FIPVersion);
    Result =
        Call.Result(GlobalStack()->SockConnect(Call.Descriptor(), Family, FRemoteIP, FRemotePort));
  }
  if (Result != SocketErrorResult) {
    ReadLocalBinding();
    ReadRemoteBinding();
  }
  return Result;
}

int32_t TIdSocketHandle::ReceiveFrom(void* ABuffer, int32_t ALength, int32_t AFlags,
                                     std::string& AIP, int32_t& APort) {
  TCall Call(*this);
  return Call.Result(
      GlobalStack()->SockRecvFrom(Call.Descriptor(), ABuffer, ALength, AFlags, AIP, APort));
}

int32_t TIdSocketHandle::ReceiveInto(void* ABuffer, int32_t ALength, int32_t AFlags) {
  TCall Call(*this);
  return Call.Result(GlobalStack()->SockRecv(Call.Descriptor(), ABuffer, ALength, AFlags));
}

int32_t TIdSocketHandle::SendFrom(const void* ABuffer, int32_t ALength, int32_t AFlags) {
  TCall Call(*this);
  return Call.Result(GlobalStack()->SockSend(Call.Descriptor(), ABuffer, ALength, AFlags));
}

int32_t TIdSocketHandle::SendWithin(const void* ABuffer, int32_t ALength, int32_t ATimeout) {
  TIdStack* Stack = GlobalStack();
  TCall Call(*this);
  const int32_t Sent = Call.Result(Stack->SockSendNow(Call.Descriptor(), ABuffer, ALength));
  if (Sent >= 0 || !Stack->SendNowNeverWaits() || Stack->SockLastError() != WSA::EWOULDBLOCK_)
    return Sent;
  // A socket is writable once a good part of its buffer is free again: a peer that frees less
  // in that time has all but stopped reading. The last error is still the send's "would block".
  TIdSocketDescriptorList WriteList{Call.Descriptor()};
  if (Stack->SockSelect(nullptr, &WriteList, nullptr, ATimeout) == 0) return -1;
  return Call.Result(Stack->SockSendNow(Call.Descriptor(), ABuffer, ALength));
}

void TIdSocketHandle::SetOption(int32_t ALevel, int32_t AOptName, const void* AOptVal,
                                int32_t AOptLen) {
  TIdStack* Stack = GlobalStack();
  TCall Call(*this);
  Stack->CheckSocketResult(
      Call.Result(Stack->SockSetOption(Call.Descriptor(), ALevel, AOptName, AOptVal, AOptLen)));
}

int64_t TIdSocketHandle::TransmitFile(TIdFileTransmitter ATransmitter,
                                      const std::string& AFileName) {
  TCall Call(*this);
  return ATransmitter(Call.Descriptor(), AFileName);
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
  {
    TCall Call(*this);
    const int32_t Result = Stack->SockBind(Call.Descriptor(), FamilyOf(FIPVersion), FIP, FPort);
    if (Stack->CheckSocketResult(Call.Result(Result), {WSA::EADDRINUSE_})) return false;
  }
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
  TCall Call(*this);
  Stack->CheckSocketResult(Call.Result(Stack->SockListen(Call.Descriptor(), ABacklog)));
}

bool TIdSocketHandle::AcceptFrom(TIdSocketHandle& AListening) {
  ClearBinding(true);
  FIPVersion = AListening.FIPVersion;
  FDualStack = AListening.FDualStack;
  TIdStack* Stack = GlobalStack();
  TIdSocketDescriptor Accepted = InvalidSocketDescriptor;
  {
    TCall Call(AListening, std::nothrow);
    if (!Call) return false;
    Accepted = AListening.IsShared() ? AcceptShared(Call)
                                     : Stack->SockAccept(Call.Descriptor(), FIP, FPort);
    // A listener closed by another thread during the accept has no connection to give.
    if (Accepted == InvalidSocketDescriptor &&
        (Call.Closed() || Stack->CheckSocketResult(SocketErrorResult, {WSA::EINTR_}))) {
      FIP.clear();
      FPort = 0;
      return false;
    }
  }
  TakeDescriptor(Accepted);
  // The accept reported the client's address already: asking the system again would only
  // cost a call (and fail if the client has gone meanwhile). The local end is read when asked
  // for: most servers never ask, and each client would cost a call.
  FRemoteIP.swap(FIP);
  FRemotePort = FPort;
  FIP.clear();
  FPort = 0;
  FLocalUnread = true;
  return true;
}

// Nothing wakes a call on a shared listener, which is never shut down: the wait goes in steps
// that look for a close. The socket is non-blocking, so a client that another owner accepted
// first costs one more wait, not a blocked accept.
TIdSocketDescriptor TIdSocketHandle::AcceptShared(const TCall& AListening) {
  TIdStack* Stack = GlobalStack();
  for (;;) {
    try {
      while (!SelectReadable(AListening, SharedAcceptStepMs)) {
      }
    } catch (const EIdConnClosedGracefully&) {
      return InvalidSocketDescriptor; // closed: the caller sees it
    }
    const TIdSocketDescriptor Accepted = Stack->SockAccept(AListening.Descriptor(), FIP, FPort);
    if (Accepted != InvalidSocketDescriptor || AListening.Closed()) return Accepted;
    Stack->CheckSocketResult(SocketErrorResult, {WSA::EWOULDBLOCK_});
  }
}

void TIdSocketHandle::ResolveLocalBinding() const {
  if (!FLocalUnread) return;
  FLocalUnread = false;
  try {
    TCall Call(const_cast<TIdSocketHandle&>(*this), std::nothrow);
    if (!Call) return;
    int32_t Family = 0;
    GlobalStack()->SockLocalAddress(Call.Descriptor(), Family, FIP, FPort);
  } catch (const EIdException&) {
    FIP.clear(); // the socket failed under the read: its local end is unknown
    FPort = 0;
  }
}

bool TIdSocketHandle::WaitReadable(int32_t ATimeout) {
  TCall Call(*this, std::nothrow);
  if (!Call) throw EIdConnClosedGracefully();
  if (!TIdAntiFreezeBase::AntiFreezeActive()) return SelectReadable(Call, ATimeout);
  const int32_t Slice = TIdAntiFreezeBase::Instance()->IdleTimeOut;
  if (ATimeout == TimeoutInfinite) {
    while (!SelectReadable(Call, Slice)) {
    }
    return true;
  }
  // Whole slices, the first of which takes what does not divide.
  int32_t Wait = ATimeout > Slice ? (ATimeout - 1) % Slice + 1 : ATimeout;
  for (int32_t Left = ATimeout;; Wait = Slice) {
    if (SelectReadable(Call, Wait)) return true;
    Left -= Wait;
    if (Left <= 0) return false;
  }
}

// One wait followed by the anti-freeze's step. A close from another thread wakes the wait (the
// socket then reads as ended): it is reported as the closed handle it is.
bool TIdSocketHandle::SelectReadable(const TCall& ACall, int32_t ATimeout) {
  TIdSocketDescriptorList ReadList{ACall.Descriptor()};
  const bool Readable = GlobalStack()->SockSelect(&ReadList, nullptr, nullptr, ATimeout) == 1;
  TIdAntiFreezeBase::AntiFreezeStep(!Readable, TIdAntiFreezeBase::NoOverride);
  if (ACall.Closed()) throw EIdConnClosedGracefully();
  return Readable;
}

void TIdSocketHandle::SetRemote(const std::string& AIP, int32_t APort) {
  FRemoteIP = AIP;
  FRemotePort = APort;
}

void TIdSocketHandle::ReadLocalBinding() {
  FLocalUnread = false;
  TCall Call(*this);
  int32_t Family = 0;
  GlobalStack()->SockLocalAddress(Call.Descriptor(), Family, FIP, FPort);
}

void TIdSocketHandle::ReadRemoteBinding() {
  TCall Call(*this);
  int32_t Family = 0;
  GlobalStack()->SockPeerAddress(Call.Descriptor(), Family, FRemoteIP, FRemotePort);
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
