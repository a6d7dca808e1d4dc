// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The socket stack over BSD sockets (Linux), and its socket list.
#pragma once

#include <array>
#include <cstdint>

#include "idframework/net/IdStack.h"

namespace Id {

/// Socket error numbers of this stack that have no Windows Sockets equivalent: an errno value
/// without a mapping is reported as ErrnoErrorBase + errno (stable, never 0).
inline constexpr int32_t ErrnoErrorBase = 20000;

/// The stack over BSD sockets. Keeps every contract of TIdStack, including the Windows Sockets
/// error numbering and the 64-descriptor limit of SockSelect, for any descriptor number. It keeps
/// no state about descriptors: a close while other threads use the socket is the socket
/// handle's business. Interrupted calls are retried inside the stack; sending never raises
/// SIGPIPE. IPv4 and IPv6 (family Id_PF_INET6): an address read from an IPv6 socket is IPv6
/// text, with the interface's name as its scope, except an IPv4-mapped one (the IPv4 peer of a
/// dual-stack socket), which reads as IPv4 text with family Id_PF_INET. Thread-safe throughout,
/// except the local-address list (see TIdStack).
class TIdStackBSD : public TIdStack {
public:
  TIdStackBSD();

  void FillLocalAddresses() override;
  std::string FirstLocalAddress() override;
  TStringList& GetLocalAddressList() override;
  TIdSocketDescriptor SockAccept(TIdSocketDescriptor ASocket, std::string& AIP,
                                 int32_t& APort) override;
  int32_t SockBind(TIdSocketDescriptor ASocket, int32_t AFamily, const std::string& AIP,
                   int32_t APort) override;
  int32_t SockClose(TIdSocketDescriptor ASocket) override;
  /// A descriptor number inherited by the process (a service manager hands them over from 3 on).
  TIdSocketDescriptor SockAdoptListening(int64_t ANative, int32_t& AFamily, std::string& AIP,
                                         int32_t& APort) override;
  /// fcntl(F_DUPFD_CLOEXEC).
  TIdSocketDescriptor SockDuplicate(TIdSocketDescriptor ASocket) override;
  int32_t SockConnect(TIdSocketDescriptor ASocket, int32_t AFamily, const std::string& AIP,
                      int32_t APort) override;
  std::string SockHostToAddress(const std::string& AHost) override;
  /// getaddrinfo() for stream sockets, without dropping a family the host has no route for
  /// (a connect to it fails, and the next address is tried).
  TIdIPAddressList SockHostToAddresses(const std::string& AHost, TIdIPVersions AVersions) override;
  std::string SockLocalHostName() override;
  std::string SockAddressToHost(const std::string& AIP) override;
  int32_t SockServicePort(const std::string& AService) override;
  std::unique_ptr<TStringList> SockPortServices(int32_t APort) override;
  uint16_t SockHostToNet16(uint16_t AValue) override;
  /// Asks for at least the system's maximum backlog (SOMAXCONN), whatever ABacklog is below it:
  /// a short queue leaves surplus clients connected on their side and never served.
  int32_t SockListen(TIdSocketDescriptor ASocket, int32_t ABacklog) override;
  uint16_t SockNetToHost16(uint16_t AValue) override;
  uint32_t SockHostToNet32(uint32_t AValue) override;
  uint32_t SockNetToHost32(uint32_t AValue) override;
  int32_t SockRecv(TIdSocketDescriptor ASocket, void* ABuffer, int32_t ALength,
                   int32_t AFlags) override;
  int32_t SockRecvFrom(TIdSocketDescriptor ASocket, void* ABuffer, int32_t ALength, int32_t AFlags,
                       std::string& AIP, int32_t& APort) override;
  /// poll()-based: any descriptor number. A negative timeout other than TimeoutInfinite, no
  /// descriptor at all, or a number that is no open descriptor give -1 (10022, 10022, 10038).
  int32_t SockSelect(TIdSocketDescriptorList* ARead, TIdSocketDescriptorList* AWrite,
                     TIdSocketDescriptorList* AError, int32_t ATimeout) override;
  int32_t SockSendNow(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength) override;
  int32_t SockSend(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength,
                   int32_t AFlags) override;
  int32_t SockSendTo(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength,
                     int32_t AFlags, const std::string& AIP, int32_t APort) override;
  /// Levels and names in the Windows Sockets numbering (Id_SOL_SOCKET, Id_SO_* with
  /// Id_SO_REUSEPORT, Id_IPPROTO_TCP, Id_TCP_NODELAY, Id_IPPROTO_IPV6, Id_IPV6_V6ONLY); a 4-byte
  /// SO_LINGER value is the Windows record (two 16-bit fields).
  int32_t SockSetOption(TIdSocketDescriptor ASocket, int32_t ALevel, int32_t AOptName,
                        const void* AOptVal, int32_t AOptLen) override;
  TIdSocketDescriptor SockCreate(int32_t AFamily, int32_t AType, int32_t AProtocol) override;
  int32_t SockShutdown(TIdSocketDescriptor ASocket, int32_t AHow) override;
  /// Adds 11001 "Host not found." and the system's text for ErrnoErrorBase numbers.
  std::string SockErrorText(int32_t AErrorNumber) override;
  int32_t SockLastError() override;
  void SockPeerAddress(TIdSocketDescriptor ASocket, int32_t& AFamily, std::string& AIP,
                       int32_t& APort) override;
  void SockLocalAddress(TIdSocketDescriptor ASocket, int32_t& AFamily, std::string& AIP,
                        int32_t& APort) override;
  /// As SockSetOption; SO_ERROR comes back as a Windows Sockets number.
  int32_t SockGetOption(TIdSocketDescriptor ASocket, int32_t ALevel, int32_t AOptName,
                        void* AOptVal, int32_t& AOptLen) override;
  /// True: without address reuse a restarted server cannot bind its port while connections it
  /// closed first linger in TIME_WAIT, and the option never lets a second socket listen on a
  /// port that is listening already.
  bool ReusesListenAddress() const noexcept override { return true; }
  /// True: an accept blocked on a socket that is shut down fails at once (EINVAL).
  bool ShutdownWakesAccept() const noexcept override { return true; }
  bool SendNowNeverWaits() const noexcept override { return true; }

  /// The Windows Sockets number of an errno value (ErrnoErrorBase + errno when unmapped).
  static int32_t ErrorFromErrno(int AErrno) noexcept;
  /// The Windows Sockets number of a getaddrinfo/getnameinfo result (11001 for an unknown host).
  static int32_t ErrorFromLookup(int ALookupResult, int AErrno) noexcept;

private:
  enum class TEnd { Local, Peer };
  void SockAddress(TEnd AEnd, TIdSocketDescriptor ASocket, int32_t& AFamily, std::string& AIP,
                   int32_t& APort);
  [[noreturn]] void RaiseLookupError(int ALookupResult, int AErrno);
};

/// The socket list of this platform: a select set of 64 slots (see TIdSocketListSet).
class TIdSocketListBSD : public TIdSocketListSet {};

/// Sends a whole file with sendfile(); the result is the file's size, 0 on failure. Installed
/// as FileTransmitter at program start.
int64_t TransmitFileToSocket(TIdSocketDescriptor ASocket, const std::string& AFileName);

} // namespace Id
