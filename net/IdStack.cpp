// SPDX-License-Identifier: MIT
#include "idframework/net/IdStack.h"

#include "idframework/core/IdGlobal.h"
#include "idframework/net/detail/IdStackUsers.h"
#include "idframework/runtime/CriticalSection.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

namespace Id {

const int32_t OptionTrue = 1;

namespace {

struct TErrorText {
  int32_t Number;
  const char* Text;
};

constexpr TErrorText SocketErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
};

// A whole text of decimal digits (leading zeros allowed) in 0..255.
bool IsAddressPart(const std::string& APart) {
  if (APart.empty()) return false;
  int32_t Value = 0;
  for (char C : APart) {
    if (C < '0' || C > '9') return false;
    // Stops as soon as the value is out of range, so any number of leading zeros is fine.
    Value = Value * 10 + (C - '0');
    if (Value > 255) return false;
  }
  return true;
}

// An IPv4 address at the end of an IPv6 text: four decimal parts in 0..255, none with a
// leading zero (the strict form the C library's parser takes there).
bool ParseIPv4Tail(std::string_view AText, uint8_t* ABytes) {
  int Part = 0;
  size_t Digits = 0;
  unsigned Value = 0;
  for (char C : AText) {
    if (C == '.') {
      if (Digits == 0 || Part == 3) return false;
      ABytes[Part++] = static_cast<uint8_t>(Value);
      Digits = 0;
      Value = 0;
      continue;
    }
    if (C < '0' || C > '9' || (Digits == 1 && Value == 0)) return false;
    Value = Value * 10 + unsigned(C - '0');
    if (++Digits > 3 || Value > 255) return false;
  }
  if (Digits == 0 || Part != 3) return false;
  ABytes[3] = static_cast<uint8_t>(Value);
  return true;
}

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// One group of 1 to 4 hex digits.
bool ParseHexGroup(std::string_view AText, uint16_t& AGroup) {
  if (AText.empty() || AText.size() > 4) return false;
  unsigned Value = 0;
  for (char C : AText) {
    const int Digit = HexValue(C);
    if (Digit < 0) return false;
    Value = Value * 16 + unsigned(Digit);
  }
  AGroup = static_cast<uint16_t>(Value);
  return true;
}

// The groups of an IPv6 text without scope, with where "::" stood (-1: nowhere).
struct TIPv6Groups {
  uint8_t Bytes[16] = {};
  int Count = 0; // 16-bit groups filled, an IPv4 tail counting two
  int Gap = -1;
};

// Reads the group or IPv4 tail at APos; false for a malformed one.
bool ReadGroup(std::string_view AText, size_t& APos, TIPv6Groups& AGroups) {
  const size_t End = std::min(AText.find(':', APos), AText.size());
  const std::string_view Token = AText.substr(APos, End - APos);
  if (Token.find('.') != std::string_view::npos) {
    // The IPv4 tail ends the text and takes the last two groups.
    if (End != AText.size() || AGroups.Count > 6) return false;
    if (!ParseIPv4Tail(Token, AGroups.Bytes + 2 * AGroups.Count)) return false;
    AGroups.Count += 2;
    APos = End;
    return true;
  }
  uint16_t Group = 0;
  if (AGroups.Count == 8 || !ParseHexGroup(Token, Group)) return false;
  AGroups.Bytes[2 * AGroups.Count] = static_cast<uint8_t>(Group >> 8);
  AGroups.Bytes[2 * AGroups.Count + 1] = static_cast<uint8_t>(Group & 0xFF);
  ++AGroups.Count;
  APos = End;
  return true;
}

// Reads the ":" or "::" after a group at APos; false when the text may not go on there.
bool ReadSeparator(std::string_view AText, size_t& APos, TIPv6Groups& AGroups) {
  ++APos; // the ":" that ended the group
  if (APos < AText.size() && AText[APos] == ':') {
    if (AGroups.Gap >= 0) return false; // "::" at most once
    AGroups.Gap = AGroups.Count;
    ++APos;
    return true;
  }
  return APos < AText.size(); // a single ":" must be followed by a group
}

bool ParseGroups(std::string_view AText, TIPv6Groups& AGroups) {
  size_t Pos = 0;
  if (AText.substr(0, 1) == ":") {
    if (AText.substr(0, 2) != "::") return false;
    AGroups.Gap = 0;
    Pos = 2;
  }
  while (Pos < AText.size()) {
    if (!ReadGroup(AText, Pos, AGroups)) return false;
    if (Pos < AText.size() && !ReadSeparator(AText, Pos, AGroups)) return false;
  }
  // Without "::" all eight groups are given; "::" stands for one zero group at least.
  return AGroups.Gap < 0 ? AGroups.Count == 8 : AGroups.Count <= 7;
}

// The bytes of an IPv6 text without scope; false for a malformed one.
bool ParseIPv6Bytes(std::string_view AText, TIdIPv6Bytes& AAddress) {
  TIPv6Groups Groups;
  if (!ParseGroups(AText, Groups)) return false;
  AAddress.fill(0);
  const size_t Head = Groups.Gap < 0 ? size_t(2 * Groups.Count) : size_t(2 * Groups.Gap);
  std::copy(Groups.Bytes, Groups.Bytes + Head, AAddress.begin());
  // The groups after "::" go to the end; the zeros between them stand for the gap.
  const size_t Tail = size_t(2 * Groups.Count) - Head;
  std::copy(Groups.Bytes + Head, Groups.Bytes + Head + Tail, AAddress.end() - long(Tail));
  return true;
}

// A scope: an interface name or number, without blanks, "%" or "/".
bool IsScopeText(std::string_view AScope) {
  if (AScope.empty() || AScope.size() > 32) return false;
  return std::all_of(AScope.begin(), AScope.end(),
                     [](char C) { return C > ' ' && C < 0x7F && C != '%' && C != '/'; });
}

// Splits "address%scope"; false when a scope is there but is no scope text.
bool SplitScope(const std::string& AText, std::string_view& AAddress, std::string_view& AScope) {
  const std::string_view Text(AText);
  const size_t Percent = Text.find('%');
  AAddress = Text.substr(0, Percent);
  AScope = Percent == std::string_view::npos ? std::string_view() : Text.substr(Percent + 1);
  return Percent == std::string_view::npos || IsScopeText(AScope);
}

// The first longest run of two or more zero groups: [ABase, ABase + ALength); ALength 0: none.
void LongestZeroRun(const uint16_t* AGroups, int& ABase, int& ALength) {
  ABase = -1;
  ALength = 0;
  for (int I = 0; I < 8;) {
    int J = I;
    while (J < 8 && AGroups[J] == 0)
      ++J;
    if (J - I > ALength && J - I >= 2) {
      ABase = I;
      ALength = J - I;
    }
    I = J == I ? I + 1 : J;
  }
}

void AppendDotted(std::string& AText, const uint8_t* ABytes) {
  for (int I = 0; I < 4; ++I) {
    if (I > 0) AText += '.';
    AText += std::to_string(ABytes[I]);
  }
}

// The stack's lifetime: the users counted, the stack they share and the lock of the first and
// the last user. Built on first use and never destroyed, so that threads still winding down at
// process end may consult it.
struct TStackState {
  TMutex Lock;
  std::atomic<int32_t> Users{0};
  std::unique_ptr<TIdStack> Stack ID_GUARDED_BY(Lock);
  std::atomic<TIdStack*> Current{nullptr}; // Stack, for readers without the lock
};

TStackState& State() {
  static TStackState* S = new TStackState;
  return *S;
}

// Adds ADelta to the users without the lock while that cannot make the count reach AFloor (a
// user that may create or free the stack); false when the caller must take the lock.
bool ChangeUsersAbove(int32_t AFloor, int32_t ADelta) {
  std::atomic<int32_t>& Users = State().Users;
  int32_t N = Users.load();
  while (N > AFloor)
    if (Users.compare_exchange_weak(N, N + ADelta)) return true;
  return false;
}

} // namespace

TIdStack* GlobalStack() noexcept {
  return State().Current.load(std::memory_order_acquire);
}

int32_t StackUserCount() {
  return State().Users.load();
}

// Only the first user and the last one take the lock: the others find the stack there and stay
// on their side of the count.
TIdStackUse::TIdStackUse() {
  if (ChangeUsersAbove(0, +1)) return;
  TStackState& S = State();
  TLockGuard<TMutex> Guard(S.Lock);
  if (S.Users.load() == 0) {
    S.Stack = TIdStack::NewStackInstance();
    S.Current.store(S.Stack.get(), std::memory_order_release);
  }
  S.Users.fetch_add(1);
}

TIdStackUse::~TIdStackUse() {
  if (ChangeUsersAbove(1, -1)) return;
  TStackState& S = State();
  TLockGuard<TMutex> Guard(S.Lock);
  if (S.Users.fetch_sub(1) != 1) return;
  S.Current.store(nullptr, std::memory_order_release);
  S.Stack.reset();
}

const char* SocketErrorTextOf(int32_t AErrorNumber) noexcept {
  for (const auto& E : SocketErrorTexts)
    if (E.Number == AErrorNumber) return E.Text;
  return "";
}

TIdStack::TIdStack() = default;
TIdStack::~TIdStack() = default;

std::string TIdStack::SockErrorText(int32_t AErrorNumber) {
  return Format(RS::RSStackError,
                {int64_t(AErrorNumber), std::string(SocketErrorTextOf(AErrorNumber))});
}

// Written into one buffer: every accepted client's address goes through here.
std::string TIdStack::AddressToText(const TIdIPv4Bytes& AAddress) {
  char Text[16];
  char* P = Text;
  for (size_t I = 0; I < AAddress.size(); ++I) {
    if (I > 0) *P++ = '.';
    const unsigned Byte = AAddress[I];
    if (Byte >= 100) *P++ = static_cast<char>('0' + Byte / 100);
    if (Byte >= 10) *P++ = static_cast<char>('0' + Byte / 10 % 10);
    *P++ = static_cast<char>('0' + Byte % 10);
  }
  return std::string(Text, static_cast<size_t>(P - Text));
}

void TIdStack::ParseAddressText(const std::string& AIP, TIdIPv4Bytes& AAddress) {
  std::string Rest = AIP;
  TIdIPv4Bytes Parsed{};
  for (auto& Byte : Parsed)
    Byte = static_cast<uint8_t>(StrToInt(FetchToken(Rest, ".", DeleteToken, CaseSensitive)) & 0xFF);
  AAddress = Parsed;
}

TIdSocketDescriptor TIdStack::SockAdoptListening(int64_t, int32_t&, std::string&, int32_t&) {
  return InvalidSocketDescriptor;
}

TIdSocketDescriptor TIdStack::SockDuplicate(TIdSocketDescriptor) {
  ThrowSocketError(WSA::EOPNOTSUPP_);
}

int32_t TIdStack::SockSendNow(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength) {
  return SockSend(ASocket, ABuffer, ALength, 0);
}

TIdIPAddressList TIdStack::SockHostToAddresses(const std::string& AHost, TIdIPVersions AVersions) {
  if ((uint8_t(AVersions) & uint8_t(TIdIPVersions::vsIPv4)) == 0)
    ThrowSocketError(WSA::EAFNOSUPPORT_);
  return {{TIdIPVersion::ivIPv4, SockHostToAddress(AHost)}};
}

bool TIdStack::IsIPv6AddressText(const std::string& AText) {
  std::string_view Address, Scope;
  TIdIPv6Bytes Bytes;
  return SplitScope(AText, Address, Scope) && ParseIPv6Bytes(Address, Bytes);
}

std::optional<TIdIPVersion> TIdStack::IPVersionOfText(const std::string& AText) {
  if (IsIPAddressText(AText)) return TIdIPVersion::ivIPv4;
  if (IsIPv6AddressText(AText)) return TIdIPVersion::ivIPv6;
  return std::nullopt;
}

void TIdStack::ParseIPv6AddressText(const std::string& AText, TIdIPv6Bytes& AAddress,
                                    std::string& AScope) {
  std::string_view Address, Scope;
  TIdIPv6Bytes Bytes;
  if (!SplitScope(AText, Address, Scope) || !ParseIPv6Bytes(Address, Bytes))
    throw EConvertError("'" + AText + "' is not a valid IPv6 address");
  AAddress = Bytes;
  AScope.assign(Scope);
}

std::string TIdStack::IPv6AddressToText(const TIdIPv6Bytes& AAddress, const std::string& AScope) {
  uint16_t Groups[8];
  for (int I = 0; I < 8; ++I)
    Groups[I] = static_cast<uint16_t>(AAddress[size_t(2 * I)] << 8 | AAddress[size_t(2 * I + 1)]);
  int Base, Length;
  LongestZeroRun(Groups, Base, Length);
  std::string Text;
  for (int I = 0; I < 8; ++I) {
    if (I >= Base && I < Base + Length) {
      if (I == Base) Text += ':';
      continue;
    }
    if (I > 0) Text += ':';
    // An IPv4 address behind the mapped (::ffff:0:0/96) or compatible (::/96) prefix.
    if (I == 6 && Base == 0 && (Length == 6 || (Length == 5 && Groups[5] == 0xFFFF))) {
      AppendDotted(Text, AAddress.data() + 12);
      break;
    }
    char Hex[5];
    std::snprintf(Hex, sizeof(Hex), "%x", Groups[I]);
    Text += Hex;
  }
  if (Length > 0 && Base + Length == 8) Text += ':';
  if (!AScope.empty()) Text += "%" + AScope;
  return Text;
}

bool TIdStack::IsIPv4MappedAddress(const TIdIPv6Bytes& AAddress) noexcept {
  for (size_t I = 0; I < 10; ++I)
    if (AAddress[I] != 0) return false;
  return AAddress[10] == 0xFF && AAddress[11] == 0xFF;
}

std::string TIdStack::ReceivedIPv6Text(const TIdIPv6Bytes& AAddress, const std::string& AScope,
                                       int32_t& AFamily) {
  if (!IsIPv4MappedAddress(AAddress)) {
    AFamily = Id_PF_INET6;
    return IPv6AddressToText(AAddress, AScope);
  }
  TIdIPv4Bytes Mapped;
  std::copy(AAddress.end() - 4, AAddress.end(), Mapped.begin());
  AFamily = Id_PF_INET;
  return AddressToText(Mapped);
}

void TIdStack::AddLookupResult(TIdIPAddressList& AList, int32_t AFamily, std::string AText) {
  TIdIPAddress Address{AFamily == Id_PF_INET6 ? TIdIPVersion::ivIPv6 : TIdIPVersion::ivIPv4,
                       std::move(AText)};
  if (std::find(AList.begin(), AList.end(), Address) == AList.end())
    AList.push_back(std::move(Address));
}

TIdIPAddressList TIdStack::LookupHostAddresses(const std::string& AHost, TIdIPVersions AVersions) {
  const auto Has = [AVersions](TIdIPVersions AOne) {
    return (uint8_t(AVersions) & uint8_t(AOne)) != 0;
  };
  if (SameText(AHost, "LOCALHOST")) {
    TIdIPAddressList Loopback;
    if (Has(TIdIPVersions::vsIPv6)) Loopback.push_back({TIdIPVersion::ivIPv6, "::1"});
    if (Has(TIdIPVersions::vsIPv4)) Loopback.push_back({TIdIPVersion::ivIPv4, "127.0.0.1"});
    return Loopback;
  }
  if (const auto Version = IPVersionOfText(AHost)) return {{*Version, AHost}};
  return SockHostToAddresses(AHost, AVersions);
}

std::unique_ptr<TIdStack> TIdStack::NewStackInstance() {
  return StackClass()();
}

bool TIdStack::CheckSocketResult(int32_t AResult, std::initializer_list<int32_t> AIgnoredErrors) {
  if (AResult != SocketErrorResult) return false;
  const int32_t Error = SockLastError();
  FLastSocketError.store(Error, std::memory_order_relaxed);
  for (int32_t Ignored : AIgnoredErrors)
    if (Ignored == Error) return true;
  ThrowSocketError(Error);
}

void TIdStack::ThrowSocketError(int32_t AErrorNumber) {
  FLastSocketError.store(AErrorNumber, std::memory_order_relaxed);
  throw EIdSocketError(AErrorNumber, SockErrorText(AErrorNumber));
}

TIdSocketDescriptor TIdStack::NewSocket(int32_t ASocketType, int32_t AProtocol) {
  return NewSocket(ASocketType, AProtocol, TIdIPVersion::ivIPv4);
}

TIdSocketDescriptor TIdStack::NewSocket(int32_t ASocketType, int32_t AProtocol,
                                        TIdIPVersion AVersion) {
  const TIdSocketDescriptor Result = SockCreate(FamilyOf(AVersion), ASocketType, AProtocol);
  if (Result == InvalidSocketDescriptor) throw EIdInvalidSocket();
  return Result;
}

std::string TIdStack::LookupHost(const std::string& AHost) {
  if (SameText(AHost, "LOCALHOST")) return "127.0.0.1";
  if (IsIPAddressText(AHost)) return AHost;
  return SockHostToAddress(AHost);
}

bool TIdStack::IsIPAddressText(const std::string& AText) {
  std::string Parts[4];
  size_t Start = 0;
  for (int I = 0; I < 3; ++I) {
    const size_t Dot = AText.find('.', Start);
    if (Dot == std::string::npos) {
      Parts[I] = AText.substr(std::min(Start, AText.size()));
      Start = std::string::npos;
      break;
    }
    Parts[I] = AText.substr(Start, Dot - Start);
    Start = Dot + 1;
  }
  if (Start != std::string::npos) Parts[3] = AText.substr(Start);
  for (const auto& P : Parts)
    if (!IsAddressPart(P)) return false;
  return true;
}

uint32_t TIdStack::TextToAddress(const std::string& AIP) {
  TIdIPv4Bytes Bytes{};
  ParseAddressText(AIP, Bytes);
  uint32_t Value;
  static_assert(sizeof(Value) == sizeof(Bytes));
  std::memcpy(&Value, Bytes.data(), sizeof(Value));
  return Value;
}

TIdSocketDescriptor TIdSocketListSet::ItemAt(int32_t AIndex) const {
  if (AIndex < 0 || AIndex >= FCount) throw EIdStackSetSizeExceeded();
  return FSlots[static_cast<size_t>(AIndex)];
}

void TIdSocketListSet::AddSocket(TIdSocketDescriptor ASocket) {
  if (FCount == Capacity) throw EIdStackSetSizeExceeded();
  FSlots[static_cast<size_t>(FCount++)] = ASocket;
}

void TIdSocketListSet::RemoveSocket(TIdSocketDescriptor ASocket) {
  for (int32_t I = 0; I < FCount; ++I) {
    if (FSlots[static_cast<size_t>(I)] != ASocket) continue;
    --FCount;
    FSlots[static_cast<size_t>(I)] = FSlots[static_cast<size_t>(FCount)];
    FSlots[static_cast<size_t>(FCount)] = 0;
    return;
  }
}

TIdStackClass& StackClass() {
  static TIdStackClass Class = &NewPlatformStack;
  return Class;
}

TIdFileTransmitter& FileTransmitter() {
  static TIdFileTransmitter Transmitter = nullptr;
  return Transmitter;
}

TIdSocketListClass& SocketListClass() {
  static TIdSocketListClass Class = &NewPlatformSocketList;
  return Class;
}

} // namespace Id
