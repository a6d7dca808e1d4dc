// SPDX-License-Identifier: MIT
// One socket with its local and remote binding, and the collection of a server's bindings.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "idframework/net/IdStack.h"
#include "idframework/runtime/Collection.h"
#include "idframework/runtime/Export.h"

namespace Id {

/// A socket together with its binding, and the one place where a close from another thread is
/// handled. Every socket call of the framework goes through a handle, which counts the calls
/// inside it. CloseDescriptor may be called from any thread at any moment: calls that begin
/// afterwards are refused, calls already inside are woken (their sockets are shut down), and
/// the descriptor is closed by the last call to leave, so a number is never given back to the
/// system while a call uses it and a late call never reaches a socket that reused it.
///
/// Threads: one user thread at a time opens, binds, connects, accepts and reads the binding
/// (the listener thread for a listening binding, the connection's thread for a transport);
/// any thread may close, and several threads may be inside calls at once (a connect on a
/// helper thread). The handle keeps GlobalStack alive for its whole life, so it also works on
/// its own, without any component.
class ID_API TIdSocketHandle : public TCollectionItem {
public:
  /// Joins no collection by itself (TCollection::Add does); takes the port from ACollection's
  /// DefaultPort when ACollection is a TIdSocketHandles.
  explicit TIdSocketHandle(TCollection* ACollection = nullptr);
  /// Closes an open socket and waits until no other thread is inside a call on it.
  ~TIdSocketHandle() override;

  /// From another TIdSocketHandle: copies IP, Port, RemoteIP and RemotePort, and IPVersion and
  /// DualStack with them (the address texts mean nothing without their version), ReusePort and
  /// ActivationName; not the port range nor the socket. Any other source raises EConvertError (the
  /// collection item's refusal).
  void Assign(const TCollectionItem& ASource) override;

  /// Closes any socket held, then allocates a new one of IPVersion; an IPv6 socket takes only
  /// IPv6 peers unless DualStack, and with ReusePort the socket may share its port. Raises
  /// EIdInvalidSocket "Cannot allocate socket." when the platform refuses, EIdSocketError when it
  /// refuses the dual-stack or port-sharing setting. IP and Port are kept for BindLocal.
  void OpenSocket(int32_t ASocketType = Id_SOCK_STREAM, int32_t AProtocol = Id_IPPROTO_IP);
  /// Closes any socket held, then takes a descriptor of its own of AShared, a socket that listens
  /// already and that the caller keeps (one a service manager handed over, see
  /// server/IdSystemd.h): no open, bind or listen. IP, Port and IPVersion are read from it.
  /// The socket is shared from then on (IsShared). Raises EIdSocketError.
  void AdoptListening(TIdSocketDescriptor AShared);
  /// Idempotent; any thread. Without a call inside, shuts the sending side down and closes the
  /// socket; with calls inside, shuts both directions down (which wakes them) and leaves the
  /// close to the last of them. A shared socket is never shut down (that would end it for its
  /// other owners too): only this handle's descriptor is closed. Results are ignored.
  /// Descriptor and the binding texts keep their values.
  virtual void CloseDescriptor();
  /// Connects to RemoteIP:RemotePort; on success reads both bindings back. Returns the raw
  /// result for the caller's CheckSocketResult (bindings are not read on failure). AFamily 0
  /// is the family of IPVersion.
  virtual int32_t ConnectToRemote(int32_t AFamily = 0);
  /// Datagram receive on this socket; raw result.
  virtual int32_t ReceiveFrom(void* ABuffer, int32_t ALength, int32_t AFlags, std::string& AIP,
                              int32_t& APort);
  /// Receive on this socket; raw result (bytes, 0 for the peer's orderly close, -1).
  int32_t ReceiveInto(void* ABuffer, int32_t ALength, int32_t AFlags = 0);
  /// Send on this socket; raw result (bytes sent, possibly fewer than ALength, or -1).
  int32_t SendFrom(const void* ABuffer, int32_t ALength, int32_t AFlags = 0);
  /// Sends what the socket takes at once; when it takes nothing, waits up to ATimeout ms for
  /// room and sends again. -1 with 10035 (would block) as the stack's last error when the
  /// socket did not become writable in that time: the peer all but stopped reading. A send time limit of the socket's
  /// own bounds one call, and a call that took part of the data returns only when that whole
  /// limit is over, so that a peer that stopped reading would be found out up to twice as late.
  int32_t SendWithin(const void* ABuffer, int32_t ALength, int32_t ATimeout);
  /// Sets a socket option (Windows Sockets numbering, see IdStack.h); raises EIdSocketError.
  void SetOption(int32_t ALevel, int32_t AOptName, const void* AOptVal, int32_t AOptLen);
  /// Runs ATransmitter (the whole-file sender) on this socket and returns its result.
  int64_t TransmitFile(TIdFileTransmitter ATransmitter, const std::string& AFileName);

  /// Binds following the port rules: a fixed Port (or an incomplete range) binds once and raises
  /// EIdCouldNotBindSocket when the address is in use; with Port 0 and both ClientPortMin and
  /// ClientPortMax set, raises EIdInvalidPortRange for an inverted range and
  /// EIdCanNotBindPortInRange when every port of it is taken. Other failures: EIdSocketError.
  void BindLocal();
  /// One bind to IP:Port; false when the address is in use, raises on other failures; on
  /// success IP and Port hold the address actually bound.
  bool BindOnce();
  /// Tries ClientPortMax down to ClientPortMin; false when every port is in use (Port is then
  /// ClientPortMin) or the range is inverted.
  bool BindInPortRange();
  /// Starts listening with at least ABacklog pending connections; raises EIdSocketError.
  void StartListening(int32_t ABacklog);
  /// Accepts a pending connection of the listening handle AListening into this handle (which
  /// holds no socket afterwards on failure); RemoteIP and RemotePort come with the accept, the
  /// local end is read when first asked for (see IP). The handle takes AListening's IPVersion;
  /// an IPv4 client of a dual-stack listener reads as its IPv4 address. False when AListening is
  /// closed (also by another thread during the accept) or the call was interrupted; other failures
  /// raise EIdSocketError. On a shared listener the accept waits for a client in steps of
  /// SharedAcceptStepMs (a close is seen at the next step, as nothing wakes it), and a client that
  /// another owner took first is waited for again.
  bool AcceptFrom(TIdSocketHandle& AListening);
  /// The longest wait for a client on a shared listener before it looks at its state again.
  static constexpr int32_t SharedAcceptStepMs = 100;
  /// Waits until this socket is readable: true when readable, false on timeout or a failed wait.
  /// ATimeout in ms, 0 polls, TimeoutInfinite waits without limit. Raises
  /// EIdConnClosedGracefully "Connection Closed Gracefully." when the handle holds no socket,
  /// including when another thread closed it during the wait. On the main thread with an active
  /// anti-freeze the wait is cut into IdleTimeOut slices, each followed by an idle step.
  bool WaitReadable(int32_t ATimeout);

  /// Takes over the open socket of ASource with its whole binding (IPVersion and DualStack
  /// included), closing any socket this handle held; ASource holds no socket afterwards. Waits
  /// until no call is inside ASource; no other thread may close ASource meanwhile. Called by the
  /// user thread of both handles.
  void TakeSocketFrom(TIdSocketHandle& ASource);

  /// Sets RemoteIP and RemotePort; no socket call.
  void SetRemote(const std::string& AIP, int32_t APort);
  /// Reads the socket's local end into IP and Port; raises EIdSocketError.
  void ReadLocalBinding();
  /// Reads the socket's remote end into RemoteIP and RemotePort; raises EIdSocketError.
  void ReadRemoteBinding();
  /// Forgets the socket (it is not closed) and the remote end; AResetLocal also clears IP and
  /// Port. Called by the handle's user thread only.
  void ClearBinding(bool AResetLocal);

  /// The socket's number; meaningful only while IsAllocated, and for calls made through this
  /// handle only.
  TIdSocketDescriptor Descriptor() const noexcept {
    return static_cast<TIdSocketDescriptor>(FState.load());
  }
  /// True while the handle owns an open socket that no thread has begun to close.
  bool IsAllocated() const noexcept { return (FState.load() & ClosedBit) == 0; }

  /// Local address text; empty means any local address. A socket made by AcceptFrom reads its
  /// local end from the system when it is first asked for, and only while the socket is open
  /// (afterwards it reads as empty). The handle's user thread.
  const std::string& IP() const {
    ResolveLocalBinding();
    return FIP;
  }
  void SetIP(const std::string& AValue) {
    FIP = AValue;
    FLocalUnread = false;
  }
  /// Local port; 0 means any. Read from the system on first use after an accept, as IP.
  int32_t Port() const {
    ResolveLocalBinding();
    return FPort;
  }
  void SetPort(int32_t AValue) noexcept {
    FPort = AValue;
    FLocalUnread = false;
  }
  /// The remote end, after a connect or an accept.
  const std::string& RemoteIP() const noexcept { return FRemoteIP; }
  int32_t RemotePort() const noexcept { return FRemotePort; }
  /// The IP version of the socket OpenSocket makes: ivIPv4 (the default) or ivIPv6. IP and
  /// RemoteIP are texts of this version (empty IP: 0.0.0.0 or ::).
  TIdIPVersion IPVersion() const noexcept { return FIPVersion; }
  void SetIPVersion(TIdIPVersion AValue) noexcept { FIPVersion = AValue; }
  /// An IPv6 socket that also takes IPv4 peers (seen as IPv4 addresses). False by default: an
  /// IPv6 binding then shares its port with an IPv4 binding of the same server.
  bool DualStack() const noexcept { return FDualStack; }
  void SetDualStack(bool AValue) noexcept { FDualStack = AValue; }
  /// Whether OpenSocket lets the socket share its address and port with other sockets that ask
  /// the same, in this process or others, the system spreading the clients among the listeners
  /// (SO_REUSEPORT). Default false. Not on Windows, whose OpenSocket then raises 10042.
  bool ReusePort() const noexcept { return FReusePort; }
  void SetReusePort(bool AValue) noexcept { FReusePort = AValue; }
  /// The name of the listening socket a service manager hands over for this binding
  /// (LISTEN_FDNAMES, a socket unit's FileDescriptorName=). Empty (the default): the socket of
  /// the binding's address and port.
  const std::string& ActivationName() const noexcept { return FActivationName; }
  void SetActivationName(const std::string& AValue) { FActivationName = AValue; }
  /// True for a socket taken with AdoptListening, until the next OpenSocket.
  bool IsShared() const noexcept { return FShared.load(std::memory_order_relaxed); }
  /// The bind range, used only when Port is 0 and both bounds are non-zero.
  int32_t ClientPortMin() const noexcept { return FClientPortMin; }
  void SetClientPortMin(int32_t AValue) noexcept { FClientPortMin = AValue; }
  int32_t ClientPortMax() const noexcept { return FClientPortMax; }
  void SetClientPortMax(int32_t AValue) noexcept { FClientPortMax = AValue; }

private:
  class TCall; // one call inside the socket (see the .cpp)

  bool EnterCall() noexcept;
  void LeaveCall() noexcept;
  void TakeDescriptor(TIdSocketDescriptor ADescriptor);
  void WaitUntilNoCall() const noexcept;
  bool SelectReadable(const TCall& ACall, int32_t ATimeout);
  TIdSocketDescriptor AcceptShared(const TCall& AListening);
  void ResolveLocalBinding() const;

  // The state word: the descriptor (low 32 bits), ClosedBit (no socket, or its close has
  // begun: no call may enter) and the count of calls inside (from CallUnit up). A closing
  // thread counts itself as a call while it shuts the socket down.
  static constexpr uint64_t ClosedBit = uint64_t(1) << 32;
  static constexpr uint64_t CallUnit = uint64_t(1) << 33;

  TIdStackUse FStackUse; // first in, last out: the stack outlives every call below
  std::atomic<uint64_t> FState{ClosedBit | InvalidSocketDescriptor};
  mutable std::string FIP;           // see ResolveLocalBinding
  mutable bool FLocalUnread = false; // an accept left the local end to be read on first use
  std::string FRemoteIP;
  mutable int32_t FPort = 0;
  int32_t FRemotePort = 0;
  int32_t FClientPortMin = 0;
  int32_t FClientPortMax = 0;
  TIdIPVersion FIPVersion = TIdIPVersion::ivIPv4;
  bool FDualStack = false;
  bool FReusePort = false;
  std::atomic<bool> FShared{false}; // read by a closing thread
  std::string FActivationName;
};

/// The bindings of a server (its Bindings property); owned by the server component.
class ID_API TIdSocketHandles : public TOwnedCollectionOf<TIdSocketHandle> {
public:
  /// No bindings; AOwner is the server.
  explicit TIdSocketHandles(TComponent* AOwner);

  /// Adds a binding whose Port is DefaultPort; the collection owns it.
  TIdSocketHandle* AddBinding();
  /// The binding at AIndex; raises EListError outside 0..Count-1.
  TIdSocketHandle* BindingAt(int AIndex) const;

  /// The port that new bindings receive.
  int32_t DefaultPort() const noexcept { return FDefaultPort; }
  void SetDefaultPort(int32_t AValue) noexcept { FDefaultPort = AValue; }

private:
  int32_t FDefaultPort = 0;
};

} // namespace Id
