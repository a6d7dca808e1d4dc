// SPDX-License-Identifier: MIT
// The run-time binding of the socket library: resolving stubs, start-up, unloading.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/WaitFor.h"
#include "win/WinTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

constexpr uint32_t NotStarted = 10093;

// Every test leaves the library as the next one expects it.
class Ws2Binding : public testing::Test {
protected:
  void TearDown() override { ReloadIfStarted(); }
};

FARPROC ExportOf(const char* AName) {
  return ::GetProcAddress(SocketLibraryHandle(), AName);
}

} // namespace

TEST_F(Ws2Binding, CallBeforeAnyStackRaisesNotStartedWithTheExportName) {
  EndSocketLibrary();
  try {
    WS2::socket(AF_INET, SOCK_STREAM, 0);
    FAIL() << "the stub called into a library that is not loaded";
  } catch (const EIdWS2StubError& E) {
    EXPECT_EQ(E.ErrorCode(), NotStarted);
    EXPECT_EQ(E.BaseMessage(), "Error on call Winsock2 library function socket");
    EXPECT_FALSE(E.ErrorCodeText().empty());
    EXPECT_EQ(E.ErrorCodeText(), SysErrorMessage(NotStarted));
    EXPECT_EQ(E.Message(), E.ErrorCodeText() + ": " + E.BaseMessage());
  }
  EXPECT_TRUE(RowNamed("socket").OnStub());
}

TEST_F(Ws2Binding, FirstCallResolvesAndLaterCallsGoStraightToTheLibrary) {
  LoadFreshLibrary();
  const auto& Row = RowNamed("htons");
  ASSERT_TRUE(Row.OnStub());

  EXPECT_EQ(WS2::htons(0x1234), 0x3412);
  EXPECT_FALSE(Row.OnStub());
  const FARPROC Library = ExportOf("htons");
  ASSERT_NE(Library, nullptr);
  EXPECT_EQ(Row.Target(), reinterpret_cast<void*>(Library));

  // The entry now holds the library's own address: the stub (and its lookup) is out of the path.
  EXPECT_EQ(WS2::htons(0xABCD), 0xCDAB);
  EXPECT_EQ(Row.Target(), reinterpret_cast<void*>(Library));
}

TEST_F(Ws2Binding, ThreadsMakingTheFirstCallAtOnceAllReachTheLibrary) {
  LoadFreshLibrary();
  std::atomic<bool> Go{false};
  std::atomic<int> Ready{0}, Wrong{0};
  std::vector<std::thread> Threads;
  for (int T = 0; T < 8; ++T)
    Threads.emplace_back([&] {
      ++Ready;
      while (!Go.load())
        std::this_thread::yield();
      for (int I = 0; I < 1000; ++I)
        if (WS2::ntohl(0x01020304u) != 0x04030201u) ++Wrong;
    });
  ASSERT_TRUE(WaitFor([&] { return Ready.load() == 8; }));
  Go = true;
  for (auto& T : Threads)
    T.join();
  EXPECT_EQ(Wrong.load(), 0);
  EXPECT_EQ(RowNamed("ntohl").Target(), reinterpret_cast<void*>(ExportOf("ntohl")));
}

TEST_F(Ws2Binding, GenericEntryResolvesThroughTheSingleByteExport) {
  LoadFreshLibrary();
  const SOCKET S = WS2::WSASocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
  ASSERT_NE(S, INVALID_SOCKET);
  WS2::closesocket(S);
  EXPECT_EQ(RowNamed("WSASocket").Target(), reinterpret_cast<void*>(ExportOf("WSASocketA")));
  // The A variant has an entry of its own, still unresolved.
  EXPECT_TRUE(RowNamed("WSASocketA").OnStub());
}

TEST_F(Ws2Binding, ExtensionFunctionsResolveThoughTheLibraryDoesNotExportThem) {
  LoadFreshLibrary();
  ASSERT_EQ(ExportOf("TransmitFile"), nullptr);
  // A call that fails in the library itself, not in the binding.
  EXPECT_FALSE(WS2::TransmitFile(INVALID_SOCKET, INVALID_HANDLE_VALUE, 0, 0, nullptr, nullptr, 0));
  EXPECT_FALSE(RowNamed("TransmitFile").OnStub());
}

TEST_F(Ws2Binding, MissingExportRaisesInsteadOfCallingNull) {
  LoadFreshLibrary();
  // Export names are matched exactly; the library spells this one WSAGetQOSByName.
  ASSERT_EQ(ExportOf("WSAGetQosByName"), nullptr);
  try {
    WS2::WSAGetQosByName(INVALID_SOCKET, nullptr, nullptr);
    FAIL() << "a missing export was called";
  } catch (const EIdWS2StubError& E) {
    EXPECT_EQ(E.BaseMessage(), "Error on call Winsock2 library function WSAGetQosByName");
    EXPECT_EQ(E.ErrorCode(), static_cast<uint32_t>(ERROR_PROC_NOT_FOUND));
  }
  EXPECT_TRUE(RowNamed("WSAGetQosByName").OnStub());
}

TEST_F(Ws2Binding, UnloadPutsEveryEntryBackOnItsStub) {
  LoadFreshLibrary();
  EXPECT_EQ(RowsOnStub(), WS2::BoundFunctionCount);
  WS2::htons(1);
  WS2::ntohl(1);
  WS2::WSAGetLastError();
  WS2::closesocket(WS2::socket(AF_INET, SOCK_STREAM, 0));
  WS2::WSACleanup();
  EXPECT_EQ(RowsOnStub(), WS2::BoundFunctionCount - 6);

  UnloadSocketLibrary();
  EXPECT_EQ(SocketLibraryHandle(), nullptr);
  EXPECT_EQ(RowsOnStub(), WS2::BoundFunctionCount);
  try {
    WS2::htons(1);
    FAIL() << "a released library was called";
  } catch (const EIdWS2StubError& E) {
    EXPECT_EQ(E.ErrorCode(), NotStarted);
    EXPECT_EQ(E.BaseMessage(), "Error on call Winsock2 library function htons");
  }

  WSADATA Data{};
  EXPECT_EQ(StartSocketLibrary(SocketLibraryVersion, &Data), 0);
  EXPECT_NE(SocketLibraryHandle(), nullptr);
  EXPECT_EQ(WS2::htons(0x0102), 0x0201);
}

TEST_F(Ws2Binding, IPv6EntryPointsResolveAndUnloadLikeTheOthers) {
  LoadFreshLibrary();
  const auto& T = WS2::IPv6FunctionTable;
  ASSERT_EQ(T.size(), 3u);
  EXPECT_STREQ(T[0].Name, "getaddrinfo");
  EXPECT_STREQ(T[1].Name, "freeaddrinfo");
  EXPECT_STREQ(T[2].Name, "getnameinfo");
  addrinfo Hints{};
  Hints.ai_family = AF_INET6;
  Hints.ai_flags = AI_NUMERICHOST;
  addrinfo* Found = nullptr;
  ASSERT_EQ(WS2::getaddrinfo("::1", nullptr, &Hints, &Found), 0);
  WS2::freeaddrinfo(Found);
  EXPECT_EQ(T[0].Target(), reinterpret_cast<void*>(ExportOf("getaddrinfo")));
  EXPECT_EQ(T[1].Target(), reinterpret_cast<void*>(ExportOf("freeaddrinfo")));
  UnloadSocketLibrary();
  for (const auto& Row : T)
    EXPECT_TRUE(Row.OnStub()) << Row.Name;
}

TEST_F(Ws2Binding, UnloadingTwiceOrWithoutALibraryDoesNothing) {
  EndSocketLibrary();
  UnloadSocketLibrary();
  EXPECT_EQ(SocketLibraryHandle(), nullptr);
  EXPECT_EQ(RowsOnStub(), WS2::BoundFunctionCount);
}

TEST_F(Ws2Binding, StartWhenLoadedReturnsZeroWithoutTheLibrarysStartUp) {
  LoadFreshLibrary();
  WSADATA Data{};
  Data.wVersion = 0xBEEF;
  // Version 0 is one the library's start-up refuses; it is not asked.
  EXPECT_EQ(StartSocketLibrary(0, &Data), 0);
  EXPECT_EQ(Data.wVersion, 0xBEEF);
}

TEST_F(Ws2Binding, StartLoadsTheLibraryAndReturnsTheStartUpsResult) {
  EndSocketLibrary();
  WSADATA Data{};
  EXPECT_EQ(StartSocketLibrary(0, &Data), WSAVERNOTSUPPORTED);
  EXPECT_NE(SocketLibraryHandle(), nullptr);
  UnloadSocketLibrary(); // the start-up failed: nothing to clean up

  EXPECT_EQ(StartSocketLibrary(SocketLibraryVersion, &Data), 0);
  EXPECT_EQ(Data.wVersion, SocketLibraryVersion);
}

TEST(Ws2BoundFunctionTable, RowsInTheirOrderWithTheirExportNames) {
  const auto& T = WS2::BoundFunctionTable;
  ASSERT_EQ(T.size(), 112u);
  const std::vector<std::tuple<size_t, std::string, std::string>> Expected = {
      {0, "WSACleanup", "WSACleanup"},
      {23, "socket", "socket"},
      {45, "__WSAFDIsSet", "__WSAFDIsSet"},
      {57, "WSAGetQosByName", "WSAGetQosByName"},
      {95, "WSAProviderConfigChange", "WSAProviderConfigChange"},
      {96, "WSADuplicateSocket", "WSADuplicateSocketA"},
      {98, "WSASocket", "WSASocketA"},
      {107, "WSASetService", "WSASetServiceA"},
      {108, "TransmitFile", "TransmitFile"},
      {111, "WSARecvEx", "WSARecvEx"}};
  for (const auto& [Index, Name, Export] : Expected) {
    EXPECT_EQ(T[Index].Name, Name) << Index;
    EXPECT_EQ(T[Index].ExportName, Export) << Index;
  }
}

TEST(Ws2StubError, MessageIsTheTextAloneWithoutAnErrorNumber) {
  const EIdWS2StubError E("Error on loading Winsock2 library (WS2_32.DLL)", 0);
  EXPECT_EQ(E.Message(), "Error on loading Winsock2 library (WS2_32.DLL)");
  EXPECT_EQ(E.ErrorCode(), 0u);
  EXPECT_TRUE(E.ErrorCodeText().empty());
}

TEST(Ws2StubError, MessageLeadsWithTheSystemsTextForTheNumber) {
  const EIdWS2StubError E("Error on loading Winsock2 library (WS2_32.DLL)", ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(E.ErrorCode(), static_cast<uint32_t>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(E.ErrorCodeText(), SysErrorMessage(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(E.Message(), E.ErrorCodeText() + ": Error on loading Winsock2 library (WS2_32.DLL)");
  // Line break and full stop of the system's text are dropped.
  EXPECT_NE(E.ErrorCodeText().back(), '\n');
  EXPECT_NE(E.ErrorCodeText().back(), '.');
}
