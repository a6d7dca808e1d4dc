// SPDX-License-Identifier: MIT
// The socket stack: the one gateway between the framework and the platform's sockets.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "idframework/core/IdException.h"
#include "idframework/runtime/Export.h"
#include "idframework/runtime/StringList.h"

namespace Id {

/// Names one platform socket; InvalidSocketDescriptor (all bits set) means none.
using TIdSocketDescriptor = uint32_t;
inline constexpr TIdSocketDescriptor InvalidSocketDescriptor = 0xFFFFFFFFu;
/// The failure result of every socket call.
inline constexpr int32_t SocketErrorResult = -1;
/// A timeout meaning "no limit".
inline constexpr int32_t TimeoutInfinite = -2;
/// The value of boolean socket options, passed by address with length 4.
extern ID_API const int32_t OptionTrue;

/// Address family, socket type and protocol numbers. Families are in the Windows Sockets
/// numbering (IPv6 is 23 there); every stack maps them to its own.
inline constexpr int32_t Id_PF_INET = 2;
inline constexpr int32_t Id_PF_INET6 = 23;
inline constexpr int32_t Id_SOCK_STREAM = 1;
inline constexpr int32_t Id_SOCK_DGRAM = 2;
inline constexpr int32_t Id_IPPROTO_IP = 0;
/// Option levels and names in the Windows Sockets numbering; every stack maps them to its own.
inline constexpr int32_t Id_SOL_SOCKET = 0xFFFF;
inline constexpr int32_t Id_SO_REUSEADDR = 0x0004;
inline constexpr int32_t Id_SO_KEEPALIVE = 0x0008;
inline constexpr int32_t Id_SO_LINGER = 0x0080;
inline constexpr int32_t Id_SO_SNDBUF = 0x1001;
inline constexpr int32_t Id_SO_RCVBUF = 0x1002;
/// The longest a blocking send waits without taking a byte: a 32-bit count of ms (0: no limit),
/// as on Windows; a send that runs out of it fails with EWOULDBLOCK_.
inline constexpr int32_t Id_SO_SNDTIMEO = 0x1005;
inline constexpr int32_t Id_SO_ERROR = 0x1007;
/// Lets several sockets listen on one address and port, the system spreading the clients among
/// them. Windows Sockets have no such option (the number is the BSD one); Windows refuses it.
inline constexpr int32_t Id_SO_REUSEPORT = 0x0200;
inline constexpr int32_t Id_IPPROTO_TCP = 6;
inline constexpr int32_t Id_TCP_NODELAY = 0x0001;
inline constexpr int32_t Id_IPPROTO_IPV6 = 41;
inline constexpr int32_t Id_IPV6_V6ONLY = 27;
/// Shutdown directions.
inline constexpr int32_t Id_SD_Recv = 0;
inline constexpr int32_t Id_SD_Send = 1;
inline constexpr int32_t Id_SD_Both = 2;

/// Windows Sockets error numbers the framework compares with.
namespace WSA {
/// The Windows Sockets number of the error of the same name.
inline constexpr int32_t EINTR_ = 10004;
inline constexpr int32_t EBADF_ = 10009;
inline constexpr int32_t EACCES_ = 10013;
inline constexpr int32_t EFAULT_ = 10014;
inline constexpr int32_t EINVAL_ = 10022;
inline constexpr int32_t EMFILE_ = 10024;
inline constexpr int32_t EWOULDBLOCK_ = 10035;
inline constexpr int32_t EINPROGRESS_ = 10036;
inline constexpr int32_t EALREADY_ = 10037;
inline constexpr int32_t ENOTSOCK_ = 10038;
inline constexpr int32_t EOPNOTSUPP_ = 10045;
inline constexpr int32_t EAFNOSUPPORT_ = 10047;
inline constexpr int32_t EADDRINUSE_ = 10048;
inline constexpr int32_t EADDRNOTAVAIL_ = 10049;
inline constexpr int32_t ENETRESET_ = 10052;
inline constexpr int32_t ECONNABORTED_ = 10053;
inline constexpr int32_t ECONNRESET_ = 10054;
inline constexpr int32_t ENOBUFS_ = 10055;
inline constexpr int32_t EISCONN_ = 10056;
inline constexpr int32_t ENOTCONN_ = 10057;
inline constexpr int32_t ESHUTDOWN_ = 10058;
inline constexpr int32_t ETIMEDOUT_ = 10060;
inline constexpr int32_t ECONNREFUSED_ = 10061;
inline constexpr int32_t NOTINITIALISED_ = 10093;
inline constexpr int32_t HOST_NOT_FOUND_ = 11001;
} // namespace WSA

/// An IPv4 address as 4 bytes in network order.
using TIdIPv4Bytes = std::array<uint8_t, 4>;
/// An IPv6 address as 16 bytes in network order.
using TIdIPv6Bytes = std::array<uint8_t, 16>;

/// The IP version of a socket, a binding or an address. IPv4 is every default.
enum class TIdIPVersion : uint8_t { ivIPv4 = 0, ivIPv6 = 1 };
/// The address family number (Id_PF_INET or Id_PF_INET6) of AVersion.
constexpr int32_t FamilyOf(TIdIPVersion AVersion) noexcept {
  return AVersion == TIdIPVersion::ivIPv6 ? Id_PF_INET6 : Id_PF_INET;
}
/// Which IP versions a host lookup gives and a client connect uses.
enum class TIdIPVersions : uint8_t { vsIPv4 = 1, vsIPv6 = 2, vsBoth = 3 };
/// One address of a host: its version and its text.
struct TIdIPAddress {
  /// The address's IP version.
  TIdIPVersion Version = TIdIPVersion::ivIPv4;
  /// The address text: dotted IPv4, or IPv6 in the recommended form.
  std::string Text;
  /// Same version and text.
  bool operator==(const TIdIPAddress&) const = default;
};
using TIdIPAddressList = std::vector<TIdIPAddress>;
/// The list type that carries descriptors into SockSelect; nullptr stands for an absent list.
using TIdSocketDescriptorList = std::vector<TIdSocketDescriptor>;

/// An abstract set of descriptors; the concrete class is chosen by the stack.
class ID_API TIdSocketList {
public:
  virtual ~TIdSocketList() = default;
  /// The descriptor at AIndex.
  virtual TIdSocketDescriptor ItemAt(int32_t AIndex) const = 0;
  /// Adds ASocket.
  virtual void AddSocket(TIdSocketDescriptor ASocket) = 0;
  /// Removes ASocket.
  virtual void RemoveSocket(TIdSocketDescriptor ASocket) = 0;
  /// The number of descriptors.
  virtual int32_t SocketCount() const = 0;
};

/// A socket list shaped as a select set: a count and 64 slots. Not thread-safe. The concrete
/// list of each stack is this shape.
class ID_API TIdSocketListSet : public TIdSocketList {
public:
  /// The most descriptors a set holds.
  static constexpr int32_t Capacity = 64;
  /// Raises EIdStackSetSizeExceeded "Set Size Exceeded." outside 0..SocketCount-1.
  TIdSocketDescriptor ItemAt(int32_t AIndex) const override;
  /// Raises EIdStackSetSizeExceeded when all 64 slots are used; duplicates are kept.
  void AddSocket(TIdSocketDescriptor ASocket) override;
  /// Removes the first occurrence by moving the last descriptor into its slot.
  void RemoveSocket(TIdSocketDescriptor ASocket) override;
  /// The number of descriptors.
  int32_t SocketCount() const override { return FCount; }

private:
  int32_t FCount = 0;
  std::array<TIdSocketDescriptor, Capacity> FSlots{};
};

/// The socket stack: a stateless gateway to the platform's sockets. Shared by all threads without
/// a lock: every operation works only on its arguments and the platform, except
/// GetLocalAddressList / FirstLocalAddress, which must not run on two threads at once. Results
/// of -1 mean failure; callers pass raw results to CheckSocketResult. It knows nothing of who
/// uses a descriptor: closing a socket under another thread's call is the socket handle's
/// business (TIdSocketHandle).
class ID_API TIdStack {
public:
  /// Stacks are made by NewStackInstance, through GlobalStack's users.
  TIdStack();
  virtual ~TIdStack();
  TIdStack(const TIdStack&) = delete;
  TIdStack& operator=(const TIdStack&) = delete;

  /// Fills the list of local addresses.
  virtual void FillLocalAddresses() = 0;
  /// The first local IPv4 address.
  virtual std::string FirstLocalAddress() = 0;
  /// Refilled on every call; the stack keeps ownership.
  virtual TStringList& GetLocalAddressList() = 0;
  /// A new descriptor, or InvalidSocketDescriptor; the outputs hold the remote end.
  virtual TIdSocketDescriptor SockAccept(TIdSocketDescriptor ASocket, std::string& AIP,
                                         int32_t& APort) = 0;
  /// An empty AIP binds to any local address.
  virtual int32_t SockBind(TIdSocketDescriptor ASocket, int32_t AFamily, const std::string& AIP,
                           int32_t APort) = 0;
  /// Closes ASocket.
  virtual int32_t SockClose(TIdSocketDescriptor ASocket) = 0;
  /// Connects ASocket to AIP:APort.
  virtual int32_t SockConnect(TIdSocketDescriptor ASocket, int32_t AFamily, const std::string& AIP,
                              int32_t APort) = 0;
  /// First IPv4 address of the host; failure raises EIdSocketError.
  virtual std::string SockHostToAddress(const std::string& AHost) = 0;
  /// The name of this host.
  virtual std::string SockLocalHostName() = 0;
  /// The host name of an address; failure raises EIdSocketError.
  virtual std::string SockAddressToHost(const std::string& AIP) = 0;
  /// A named service's port, or the name read as a number; else EIdInvalidServiceName.
  virtual int32_t SockServicePort(const std::string& AService) = 0;
  /// The service's official name, then its aliases; empty when none.
  virtual std::unique_ptr<TStringList> SockPortServices(int32_t APort) = 0;
  /// Host to network byte order.
  virtual uint16_t SockHostToNet16(uint16_t AValue) = 0;
  /// Puts ASocket into the listening state with ABacklog.
  virtual int32_t SockListen(TIdSocketDescriptor ASocket, int32_t ABacklog) = 0;
  /// Network to host byte order, and the 32-bit conversions both ways.
  virtual uint16_t SockNetToHost16(uint16_t AValue) = 0;
  virtual uint32_t SockHostToNet32(uint32_t AValue) = 0;
  virtual uint32_t SockNetToHost32(uint32_t AValue) = 0;
  /// Bytes received, 0 when the peer has closed, -1 on failure.
  virtual int32_t SockRecv(TIdSocketDescriptor ASocket, void* ABuffer, int32_t ALength,
                           int32_t AFlags) = 0;
  /// As SockRecv; the outputs hold the sender.
  virtual int32_t SockRecvFrom(TIdSocketDescriptor ASocket, void* ABuffer, int32_t ALength,
                               int32_t AFlags, std::string& AIP, int32_t& APort) = 0;
  /// Waits until a descriptor of the lists is ready; a list of more than 64 raises
  /// EIdStackSetSizeExceeded. The present lists are rewritten to the ready descriptors.
  /// Returns the count of ready descriptors, 0 on timeout, -1 on failure.
  virtual int32_t SockSelect(TIdSocketDescriptorList* ARead, TIdSocketDescriptorList* AWrite,
                             TIdSocketDescriptorList* AError, int32_t ATimeout) = 0;
  /// Bytes sent (possibly fewer than ALength), -1 on failure.
  virtual int32_t SockSend(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength,
                           int32_t AFlags) = 0;
  /// As SockSend without flags, but taking only what the socket takes at once: -1 with 10035
  /// (would block) when it takes nothing. Base: SockSend, which may wait as long as the
  /// socket's send time limit lets it.
  virtual int32_t SockSendNow(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength);
  /// As SockSend, to AIP:APort.
  virtual int32_t SockSendTo(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength,
                             int32_t AFlags, const std::string& AIP, int32_t APort) = 0;
  /// Sets a socket option (Id_SOL_SOCKET, Id_IPPROTO_TCP levels).
  virtual int32_t SockSetOption(TIdSocketDescriptor ASocket, int32_t ALevel, int32_t AOptName,
                                const void* AOptVal, int32_t AOptLen) = 0;
  /// A new socket, or InvalidSocketDescriptor.
  virtual TIdSocketDescriptor SockCreate(int32_t AFamily, int32_t AType, int32_t AProtocol) = 0;
  /// Direction: 0 receive, 1 send, 2 both.
  virtual int32_t SockShutdown(TIdSocketDescriptor ASocket, int32_t AHow) = 0;
  /// "Socket Error # <n>" CR LF and the number's text (empty when it has none).
  virtual std::string SockErrorText(int32_t AErrorNumber);
  /// The calling thread's most recent socket error, as a Windows Sockets number.
  virtual int32_t SockLastError() = 0;
  /// The remote end of ASocket.
  virtual void SockPeerAddress(TIdSocketDescriptor ASocket, int32_t& AFamily, std::string& AIP,
                               int32_t& APort) = 0;
  /// The local end of ASocket.
  virtual void SockLocalAddress(TIdSocketDescriptor ASocket, int32_t& AFamily, std::string& AIP,
                                int32_t& APort) = 0;
  /// Reads a socket option.
  virtual int32_t SockGetOption(TIdSocketDescriptor ASocket, int32_t ALevel, int32_t AOptName,
                                void* AOptVal, int32_t& AOptLen) = 0;
  /// The four bytes in memory order, in decimal, joined by ".".
  virtual std::string AddressToText(const TIdIPv4Bytes& AAddress);
  /// Inverse of AddressToText: four parts cut at "."; anything after a fourth "." is ignored;
  /// a part that is not an integer raises EConvertError; no range test (300 gives 44).
  virtual void ParseAddressText(const std::string& AIP, TIdIPv4Bytes& AAddress);

  /// Every address of AHost of the versions asked for, in the order the name service gives
  /// them. Failure raises EIdSocketError (11001 for a host without such an address). Base: the
  /// one IPv4 address of SockHostToAddress, 10047 when IPv4 is not asked for.
  virtual TIdIPAddressList SockHostToAddresses(const std::string& AHost, TIdIPVersions AVersions);

  /// Takes over ANative, the platform's number of a socket this process did not make but was
  /// given (inherited from a service manager, say), when it is a listening TCP socket of IPv4 or
  /// IPv6: its descriptor, made close-on-exec and non-blocking (other processes may accept on it
  /// too), and its bound address in AFamily, AIP and APort. InvalidSocketDescriptor for any
  /// other number, which is left as it is. Base: InvalidSocketDescriptor (no such hand-over).
  virtual TIdSocketDescriptor SockAdoptListening(int64_t ANative, int32_t& AFamily,
                                                 std::string& AIP, int32_t& APort);
  /// A second descriptor of the socket of ASocket, close-on-exec. Raises EIdSocketError when
  /// the platform refuses; base: 10045 (not supported).
  virtual TIdSocketDescriptor SockDuplicate(TIdSocketDescriptor ASocket);

  /// Whether shutting a socket down wakes a call blocked in an accept on it (so that a listener
  /// may block in the accept and still stop when its socket is closed). Base: false.
  virtual bool ShutdownWakesAccept() const noexcept { return false; }
  /// Whether SockSendNow returns at once when the socket takes nothing. Base: false.
  virtual bool SendNowNeverWaits() const noexcept { return false; }
  /// Whether a server whose ReuseSocket is rsOSDependent sets the address-reuse option on its
  /// listening sockets: the platform's own custom for servers. Base: false.
  virtual bool ReusesListenAddress() const noexcept { return false; }

  /// Constructs an instance of the process's stack class.
  static std::unique_ptr<TIdStack> NewStackInstance();
  /// False unless AResult is -1. Then records the error in LastSocketError and returns true
  /// when it is one of AIgnoredErrors; otherwise raises EIdSocketError.
  bool CheckSocketResult(int32_t AResult, std::initializer_list<int32_t> AIgnoredErrors = {});
  /// Records AErrorNumber in LastSocketError and raises EIdSocketError with its text.
  [[noreturn]] void ThrowSocketError(int32_t AErrorNumber);
  /// A new IPv4 socket; raises EIdInvalidSocket "Cannot allocate socket." on failure.
  TIdSocketDescriptor NewSocket(int32_t ASocketType, int32_t AProtocol);
  /// The same for a socket of AVersion.
  TIdSocketDescriptor NewSocket(int32_t ASocketType, int32_t AProtocol, TIdIPVersion AVersion);
  /// "LOCALHOST" (any case) gives 127.0.0.1 without a lookup; an address text is returned as is.
  std::string LookupHost(const std::string& AHost);
  /// True for a dotted IPv4 address text.
  static bool IsIPAddressText(const std::string& AText);
  /// The 32-bit address value (network-order bytes) of an address text.
  uint32_t TextToAddress(const std::string& AIP);

  /// True for an IPv6 address text: eight groups of 1 to 4 hex digits joined by ":", one run of
  /// groups replaced by "::", the last two groups possibly a dotted IPv4 address, and an
  /// optional scope after "%" (an interface name or number: "fe80::1%eth0").
  static bool IsIPv6AddressText(const std::string& AText);
  /// The version of an address text (IPv4 dotted or IPv6), nothing for any other text.
  static std::optional<TIdIPVersion> IPVersionOfText(const std::string& AText);
  /// The bytes and the scope (empty when none) of an IPv6 address text; raises EConvertError
  /// for a text that is none.
  static void ParseIPv6AddressText(const std::string& AText, TIdIPv6Bytes& AAddress,
                                   std::string& AScope);
  /// The text of an IPv6 address in the recommended form (lower case, leading zeros dropped, the
  /// first longest run of two or more zero groups as "::", an IPv4-mapped or IPv4-compatible
  /// address with its last 32 bits dotted), then "%" and AScope when AScope is not empty.
  static std::string IPv6AddressToText(const TIdIPv6Bytes& AAddress,
                                       const std::string& AScope = std::string());
  /// True for an IPv4-mapped IPv6 address (80 zero bits, 16 one bits, then the IPv4 address):
  /// how a dual-stack socket sees an IPv4 peer.
  static bool IsIPv4MappedAddress(const TIdIPv6Bytes& AAddress) noexcept;
  /// LookupHost for AVersions: "LOCALHOST" (any case) gives ::1 and/or 127.0.0.1 without a
  /// lookup, an address text of either version is its own only address whatever AVersions say,
  /// any other name goes to SockHostToAddresses.
  TIdIPAddressList LookupHostAddresses(const std::string& AHost, TIdIPVersions AVersions);

  /// For the stacks: the text and family of an IPv6 address the platform gave. An IPv4-mapped
  /// address (the IPv4 peer of a dual-stack socket) is its IPv4 text with Id_PF_INET, any other
  /// the IPv6 text with AScope (when not empty) and Id_PF_INET6.
  std::string ReceivedIPv6Text(const TIdIPv6Bytes& AAddress, const std::string& AScope,
                               int32_t& AFamily);
  /// For the stacks: adds an address of a lookup (its family and text) unless AList has it.
  static void AddLookupResult(TIdIPAddressList& AList, int32_t AFamily, std::string AText);

  /// The error number of the most recent failure seen by CheckSocketResult, on any thread.
  int32_t LastSocketError() const noexcept {
    return FLastSocketError.load(std::memory_order_relaxed);
  }

protected:
  /// The list GetLocalAddressList fills; owned, made on first use.
  std::unique_ptr<TStringList> FLocalAddressList; // owned; created on first use

private:
  std::atomic<int32_t> FLastSocketError{0};
};

/// Creates the stack object of this process.
using TIdStackClass = std::unique_ptr<TIdStack> (*)();
/// The stack class, fixed at program start: the platform's stack unless a program or test
/// replaces it before the first component exists.
ID_API TIdStackClass& StackClass();
/// The platform's own stack class (set by the stack implementation built for this platform).
ID_API std::unique_ptr<TIdStack> NewPlatformStack();

/// Creates an instance of the concrete socket list.
using TIdSocketListClass = std::unique_ptr<TIdSocketList> (*)();
ID_API TIdSocketListClass& SocketListClass();
/// The platform's own socket list (64 slots, as a select set).
ID_API std::unique_ptr<TIdSocketList> NewPlatformSocketList();

/// Sends a whole file on a connected socket without copying it through the caller's buffers.
/// Result: the file's size when all of it was sent, 0 on failure.
using TIdFileTransmitter = int64_t (*)(TIdSocketDescriptor ASocket, const std::string& AFileName);
/// The process's whole-file sender, installed at program start by a stack that has one; empty
/// otherwise (callers then copy the file through a stream).
ID_API TIdFileTransmitter& FileTransmitter();

/// The process-wide stack: exists exactly while at least one TIdStackUse exists (every
/// TIdComponent and every TIdSocketHandle holds one).
ID_API TIdStack* GlobalStack() noexcept;

/// One user of GlobalStack for as long as the object lives: the first user creates the stack
/// (an instance of StackClass), the last one frees it. A failed creation raises the stack's error
/// and counts nothing, so the next user tries again. Any thread.
class ID_API TIdStackUse {
public:
  TIdStackUse();
  ~TIdStackUse();
  TIdStackUse(const TIdStackUse&) = delete;
  TIdStackUse& operator=(const TIdStackUse&) = delete;
};

/// The fixed text of a socket error number in the base table; empty when it has none.
ID_API const char* SocketErrorTextOf(int32_t AErrorNumber) noexcept;

} // namespace Id
