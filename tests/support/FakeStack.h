// SPDX-License-Identifier: MIT
// A stack that talks to no platform: for tests of the units above the stack.
#pragma once

#include <atomic>

#include "idframework/net/IdStack.h"

namespace IdTest {

class TFakeStack : public Id::TIdStack {
public:
  TFakeStack() { ++Live; }
  ~TFakeStack() override { --Live; }
  static inline std::atomic<int> Live{0};
  /// The error number SockLastError reports.
  static inline std::atomic<int32_t> NextError{0};

  void FillLocalAddresses() override {
    if (!FLocalAddressList) FLocalAddressList = std::make_unique<Id::TStringList>();
    FLocalAddressList->Clear();
    FLocalAddressList->Add("127.0.0.1");
  }
  std::string FirstLocalAddress() override { return GetLocalAddressList()[0]; }
  Id::TStringList& GetLocalAddressList() override {
    FillLocalAddresses();
    return *FLocalAddressList;
  }
  Id::TIdSocketDescriptor SockAccept(Id::TIdSocketDescriptor, std::string&, int32_t&) override {
    return Id::InvalidSocketDescriptor;
  }
  int32_t SockBind(Id::TIdSocketDescriptor, int32_t, const std::string&, int32_t) override {
    return -1;
  }
  int32_t SockClose(Id::TIdSocketDescriptor) override { return 0; }
  int32_t SockConnect(Id::TIdSocketDescriptor, int32_t, const std::string&, int32_t) override {
    return -1;
  }
  std::string SockHostToAddress(const std::string&) override {
    ++Lookups;
    CheckSocketResult(-1);
    return {};
  }
  std::string SockLocalHostName() override { return "fake"; }
  std::string SockAddressToHost(const std::string&) override { return "fake"; }
  int32_t SockServicePort(const std::string& S) override { return Id::StrToInt(S); }
  std::unique_ptr<Id::TStringList> SockPortServices(int32_t) override {
    return std::make_unique<Id::TStringList>();
  }
  uint16_t SockHostToNet16(uint16_t V) override {
    return static_cast<uint16_t>((V << 8) | (V >> 8));
  }
  int32_t SockListen(Id::TIdSocketDescriptor, int32_t) override { return -1; }
  uint16_t SockNetToHost16(uint16_t V) override { return SockHostToNet16(V); }
  uint32_t SockHostToNet32(uint32_t V) override { return __builtin_bswap32(V); }
  uint32_t SockNetToHost32(uint32_t V) override { return __builtin_bswap32(V); }
  int32_t SockRecv(Id::TIdSocketDescriptor, void*, int32_t, int32_t) override { return -1; }
  int32_t SockRecvFrom(Id::TIdSocketDescriptor, void*, int32_t, int32_t, std::string&,
                       int32_t&) override {
    return -1;
  }
  int32_t SockSelect(Id::TIdSocketDescriptorList*, Id::TIdSocketDescriptorList*,
                     Id::TIdSocketDescriptorList*, int32_t) override {
    return 0;
  }
  int32_t SockSend(Id::TIdSocketDescriptor, const void*, int32_t, int32_t) override { return -1; }
  int32_t SockSendTo(Id::TIdSocketDescriptor, const void*, int32_t, int32_t, const std::string&,
                     int32_t) override {
    return -1;
  }
  int32_t SockSetOption(Id::TIdSocketDescriptor, int32_t, int32_t, const void*, int32_t) override {
    return 0;
  }
  Id::TIdSocketDescriptor SockCreate(int32_t, int32_t, int32_t) override {
    return Id::InvalidSocketDescriptor;
  }
  int32_t SockShutdown(Id::TIdSocketDescriptor, int32_t) override { return 0; }
  int32_t SockLastError() override { return NextError.load(); }
  void SockPeerAddress(Id::TIdSocketDescriptor, int32_t&, std::string&, int32_t&) override {}
  void SockLocalAddress(Id::TIdSocketDescriptor, int32_t&, std::string&, int32_t&) override {}
  int32_t SockGetOption(Id::TIdSocketDescriptor, int32_t, int32_t, void*, int32_t&) override {
    return -1;
  }
  int Lookups = 0;
};

/// Puts the fake stack in place of the platform's for the life of the guard.
class TFakeStackScope {
public:
  TFakeStackScope() : FSaved(Id::StackClass()) {
    Id::StackClass() = [] { return std::unique_ptr<Id::TIdStack>(new TFakeStack); };
  }
  ~TFakeStackScope() { Id::StackClass() = FSaved; }

private:
  Id::TIdStackClass FSaved;
};

} // namespace IdTest
