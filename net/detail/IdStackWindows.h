// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The socket stack over Windows Sockets 2, called through the run-time binding (IdWinsock2),
// never through an import of the library; its socket list and whole-file sender. Windows builds
// only.
#pragma once

#include <array>
#include <cstdint>

#include "idframework/net/IdStack.h"

namespace Id {

/// The Windows stack. The first construction in the process loads and starts the socket library
/// (version 2.2); later ones make no library call, and freeing a stack never cleans the library
/// up (that happens once at program end). IPv4 and IPv6 as the BSD stack has them, except that an
/// IPv6 scope is an interface number only. Thread-safe as the library is, except the
/// local-address list (see TIdStack).
class TIdStackWindows : public TIdStack {
public:
  /// Raises EIdWS2StubError when the library cannot be loaded, EIdStackInitializationFailed
  /// "Winsock Initialization Error." when its start-up fails (the library is then released, so
  /// the next construction tries again).
  TIdStackWindows();

  void FillLocalAddresses() override;
  std::string FirstLocalAddress() override;
  TStringList& GetLocalAddressList() override;
  TIdSocketDescriptor SockAccept(TIdSocketDescriptor ASocket, std::string& AIP,
                                 int32_t& APort) override;
  int32_t SockBind(TIdSocketDescriptor ASocket, int32_t AFamily, const std::string& AIP,
                   int32_t APort) override;
  int32_t SockClose(TIdSocketDescriptor ASocket) override;
  int32_t SockConnect(TIdSocketDescriptor ASocket, int32_t AFamily, const std::string& AIP,
                      int32_t APort) override;
  std::string SockHostToAddress(const std::string& AHost) override;
  /// getaddrinfo() for stream sockets (through the binding's IPv6 entry points).
  TIdIPAddressList SockHostToAddresses(const std::string& AHost, TIdIPVersions AVersions) override;
  std::string SockLocalHostName() override;
  std::string SockAddressToHost(const std::string& AIP) override;
  int32_t SockServicePort(const std::string& AService) override;
  std::unique_ptr<TStringList> SockPortServices(int32_t APort) override;
  uint16_t SockHostToNet16(uint16_t AValue) override;
  int32_t SockListen(TIdSocketDescriptor ASocket, int32_t ABacklog) override;
  uint16_t SockNetToHost16(uint16_t AValue) override;
  uint32_t SockHostToNet32(uint32_t AValue) override;
  uint32_t SockNetToHost32(uint32_t AValue) override;
  int32_t SockRecv(TIdSocketDescriptor ASocket, void* ABuffer, int32_t ALength,
                   int32_t AFlags) override;
  int32_t SockRecvFrom(TIdSocketDescriptor ASocket, void* ABuffer, int32_t ALength, int32_t AFlags,
                       std::string& AIP, int32_t& APort) override;
  /// select() over sets of 64; the time record is Timeout / 1000 s and Timeout % 1000 ms, so a
  /// negative timeout other than TimeoutInfinite goes to the library as a negative time.
  int32_t SockSelect(TIdSocketDescriptorList* ARead, TIdSocketDescriptorList* AWrite,
                     TIdSocketDescriptorList* AError, int32_t ATimeout) override;
  int32_t SockSend(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength,
                   int32_t AFlags) override;
  int32_t SockSendTo(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength,
                     int32_t AFlags, const std::string& AIP, int32_t APort) override;
  int32_t SockSetOption(TIdSocketDescriptor ASocket, int32_t ALevel, int32_t AOptName,
                        const void* AOptVal, int32_t AOptLen) override;
  TIdSocketDescriptor SockCreate(int32_t AFamily, int32_t AType, int32_t AProtocol) override;
  int32_t SockShutdown(TIdSocketDescriptor ASocket, int32_t AHow) override;
  /// Adds 11001 "Host not found." to the base table.
  std::string SockErrorText(int32_t AErrorNumber) override;
  int32_t SockLastError() override;
  void SockPeerAddress(TIdSocketDescriptor ASocket, int32_t& AFamily, std::string& AIP,
                       int32_t& APort) override;
  void SockLocalAddress(TIdSocketDescriptor ASocket, int32_t& AFamily, std::string& AIP,
                        int32_t& APort) override;
  int32_t SockGetOption(TIdSocketDescriptor ASocket, int32_t ALevel, int32_t AOptName,
                        void* AOptVal, int32_t& AOptLen) override;
};

/// The socket list of this platform: a select set of 64 slots (see TIdSocketListSet).
class TIdSocketListWindows : public TIdSocketListSet {};

/// Sends a whole file on a connected socket with TransmitFile; the result is the file's size,
/// 0 when the file cannot be opened or the transmission fails. Raises EIdWS2StubError when the
/// library has no TransmitFile. Installed as FileTransmitter at program start on NT-family
/// Windows.
int64_t TransmitFileToSocket(TIdSocketDescriptor ASocket, const std::string& AFileName);

/// Whether a stack construction has started the socket library in this process (never reset;
/// program end cleans the library up when set).
bool SocketLibraryStarted() noexcept;

} // namespace Id
