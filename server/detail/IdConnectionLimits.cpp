// SPDX-License-Identifier: MIT
#include "idframework/server/detail/IdConnectionLimits.h"

#include <algorithm>
#include <functional>
#include <limits>

#include "idframework/runtime/Thread.h"

namespace Id {

namespace {

// The safety margin kept free of each resource: a fixed reserve and a share of the limit, for
// what the process uses besides its connections (its files, heap, other threads) and for other
// processes under the same limit; never more than half of the connections' room (the room left
// and what the running connections take), so that a small limit still serves. That room stays
// the same as connections come and go: halving the room left instead would halve the margin
// with each reading at the cap, until clients that keep coming had the process at its limit.
constexpr int64_t ReservedDescriptors = 32;
constexpr int64_t ReservedThreads = 32;
constexpr int64_t ReservedMemory = int64_t(4) << 20;
constexpr int64_t DescriptorShare = 64; // a 64th of the limit
constexpr int64_t ThreadShare = 64;
constexpr int64_t MemoryShare = 16;

constexpr auto ReadEvery = std::chrono::seconds(1);
constexpr auto ReadBeforeRefusing = std::chrono::milliseconds(100);

int64_t Margin(const TIdRoom& ARoom, int64_t APeersTake, int64_t AReserve, int64_t AShare) {
  return std::min(AReserve + ARoom.Limit / AShare,
                  std::max<int64_t>(ARoom.Room + APeersTake, 0) / 2);
}

// The connections a room takes at AUnit each, on top of APeers; INT64_MAX when none is known.
int64_t CapOf(const std::optional<TIdRoom>& ARoom, int64_t APeers, int64_t AUnit, int64_t AReserve,
              int64_t AShare) {
  if (!ARoom) return std::numeric_limits<int64_t>::max();
  return APeers + (ARoom->Room - Margin(*ARoom, APeers * AUnit, AReserve, AShare)) / AUnit;
}

} // namespace

std::string AddressKey(const std::string& AIP) {
  static const std::string Mapped = "::ffff:";
  if (AIP.size() > Mapped.size() && AIP.compare(0, Mapped.size(), Mapped) == 0 &&
      AIP.find('.') != std::string::npos)
    return AIP.substr(Mapped.size());
  return AIP;
}

// Address counts -------------------------------------------------------------------------------

TIdAddressSlot::TIdAddressSlot(TIdAddressCounts& ACounts, std::string AKey)
    : FCounts(ACounts), FKey(std::move(AKey)) {}

TIdAddressSlot::~TIdAddressSlot() {
  FCounts.Give(FKey);
}

TIdAddressCounts::TShard& TIdAddressCounts::ShardOf(const std::string& AKey) {
  return FShards[std::hash<std::string>{}(AKey) % FShards.size()];
}

std::unique_ptr<TIdAddressSlot> TIdAddressCounts::TryTake(const std::string& AKey, int32_t ALimit) {
  TShard& Shard = ShardOf(AKey);
  {
    TLockGuard<TMutex> Guard(Shard.Lock);
    int32_t& Count = Shard.Counts[AKey];
    if (Count >= ALimit) return nullptr;
    ++Count;
  }
  return std::make_unique<TIdAddressSlot>(*this, AKey);
}

void TIdAddressCounts::Give(const std::string& AKey) {
  TShard& Shard = ShardOf(AKey);
  TLockGuard<TMutex> Guard(Shard.Lock);
  auto It = Shard.Counts.find(AKey);
  if (It != Shard.Counts.end() && --It->second <= 0) Shard.Counts.erase(It);
}

int32_t TIdAddressCounts::CountOf(const std::string& AKey) {
  TShard& Shard = ShardOf(AKey);
  TLockGuard<TMutex> Guard(Shard.Lock);
  auto It = Shard.Counts.find(AKey);
  return It == Shard.Counts.end() ? 0 : It->second;
}

// The machine's cap -------------------------------------------------------------------------------

void TIdMachineCap::Start(int32_t APeers) {
  {
    TLockGuard<TMutex> Guard(FReadLock);
    if (!FLimits) FLimits = std::make_unique<TIdMachineLimits>();
    FOtherDescriptors = TIdMachineLimits::OpenDescriptors() - APeers;
  }
  FReadAt.store(0, std::memory_order_relaxed);
  Read(APeers);
}

int32_t TIdMachineCap::CapAt(int32_t APeers) {
  const int32_t Cap = FCap.load(std::memory_order_relaxed);
  if (FReadAt.load(std::memory_order_relaxed) == 0) return Cap; // never started
  const TClock::duration Age =
      TClock::now() - TClock::time_point(TClock::duration(FReadAt.load(std::memory_order_relaxed)));
  const bool AtCap = Cap > 0 && APeers >= Cap;
  if (Age < ReadEvery && !(AtCap && Age >= ReadBeforeRefusing)) return Cap;
  Read(APeers);
  return FCap.load(std::memory_order_relaxed);
}

// Each connection takes a descriptor, a thread and BytesPerConnection of memory. The
// descriptors other than the connections' are taken as those open at the start (counting them
// again would walk thousands of entries).
void TIdMachineCap::Read(int32_t APeers) {
  if (!FReadLock.try_lock()) return; // another thread reads now
  FReadAt.store(std::max<TClock::rep>(TClock::now().time_since_epoch().count(), 1),
                std::memory_order_relaxed);
  try {
    ReadLocked(APeers);
  } catch (...) {
    // An unreadable limit leaves the last reading in force.
  }
  FReadLock.unlock();
}

void TIdMachineCap::ReadLocked(int32_t APeers) {
  int64_t Cap = std::numeric_limits<int64_t>::max();
  if (const std::optional<int64_t> Limit = TIdMachineLimits::DescriptorLimit()) {
    const TIdRoom Descriptors{*Limit - FOtherDescriptors - APeers, *Limit};
    Cap = CapOf(Descriptors, APeers, 1, ReservedDescriptors, DescriptorShare);
  }
  TIdMachineRoom Room = FLimits ? FLimits->ReadRoom() : TIdMachineRoom{};
  // A parked thread takes the next peer without a new one: it is room, not use. Counted as use,
  // the threads of clients that left would keep new ones out until they are ended.
  if (Room.Threads) Room.Threads->Room += TThread::ParkedThreadCount();
  Cap = std::min(Cap, CapOf(Room.Threads, APeers, 1, ReservedThreads, ThreadShare));
  Cap = std::min(Cap, CapOf(Room.Memory, APeers, BytesPerConnection, ReservedMemory, MemoryShare));
  // 0 is "none"; a machine with no room at all still reads as a cap of one below the peers.
  const int64_t Bounded = std::clamp<int64_t>(Cap, 1, std::numeric_limits<int32_t>::max());
  FCap.store(Cap == std::numeric_limits<int64_t>::max() ? 0 : static_cast<int32_t>(Bounded),
             std::memory_order_relaxed);
}

// Admission ---------------------------------------------------------------------------------------

void TIdConnectionLimits::Prepare(int32_t AMaxConnections, int32_t APerAddress, int32_t APeers) {
  FMaxConnections = AMaxConnections;
  FPerAddress = APerAddress;
  if (AMaxConnections <= 0) FMachine.Start(APeers);
}

TIdRefusal TIdConnectionLimits::AdmitCount(int32_t APeers) {
  if (FMaxConnections > 0)
    return APeers < FMaxConnections ? TIdRefusal::rfNone : TIdRefusal::rfLimit;
  const int32_t Cap = FMachine.CapAt(APeers);
  return Cap == 0 || APeers < Cap ? TIdRefusal::rfNone : TIdRefusal::rfResources;
}

TIdRefusal TIdConnectionLimits::TakeAddress(const std::string& AIP,
                                            std::unique_ptr<TIdAddressSlot>& ASlot) {
  if (FPerAddress <= 0) return TIdRefusal::rfNone;
  ASlot = FAddresses.TryTake(AddressKey(AIP), FPerAddress);
  return ASlot ? TIdRefusal::rfNone : TIdRefusal::rfPerAddress;
}

int32_t TIdConnectionLimits::Cap(int32_t APeers) {
  return FMaxConnections > 0 ? FMaxConnections : FMachine.CapAt(APeers);
}

} // namespace Id
