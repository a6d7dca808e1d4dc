#include "net/IdStack.h"

#include "core/IdGlobal.h"
#include "runtime/CriticalSection.h"

#include <algorithm>
#include <cstring>
#include <mutex>

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

TMutex& StackLock() {
  return State().Lock;
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
  const TIdSocketDescriptor Result = SockCreate(Id_PF_INET, ASocketType, AProtocol);
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
