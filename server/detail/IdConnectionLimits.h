// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// Whether a server takes one more client: MaxConnections, or else the cap that follows the
// machine, and the connections of each client address.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "idframework/runtime/CriticalSection.h"
#include "idframework/server/IdServerCounters.h"
#include "idframework/server/detail/IdMachineLimits.h"

namespace Id {

class TIdAddressCounts;

/// The address text a client is counted under: an IPv4 address mapped into IPv6 counts as the
/// IPv4 address itself, so a dual-stack client is one client whichever way it comes.
std::string AddressKey(const std::string& AIP);

/// One connection's count of its client address; given back when the slot goes.
class TIdAddressSlot {
public:
  TIdAddressSlot(TIdAddressCounts& ACounts, std::string AKey);
  ~TIdAddressSlot();
  TIdAddressSlot(const TIdAddressSlot&) = delete;
  TIdAddressSlot& operator=(const TIdAddressSlot&) = delete;

private:
  TIdAddressCounts& FCounts;
  std::string FKey;
};

/// The connections of each client address, in shards by the address's hash, each with a lock of
/// its own: an accept and a leaving peer take one shard's lock, and rarely the same one.
///
/// Threads: any thread.
class TIdAddressCounts {
public:
  /// A slot of AKey when fewer than ALimit connections hold one; nullptr otherwise.
  std::unique_ptr<TIdAddressSlot> TryTake(const std::string& AKey, int32_t ALimit);
  /// The connections holding a slot of AKey.
  int32_t CountOf(const std::string& AKey);

private:
  friend class TIdAddressSlot;
  void Give(const std::string& AKey);

  struct alignas(64) TShard {
    TMutex Lock;
    std::unordered_map<std::string, int32_t> Counts ID_GUARDED_BY(Lock);
  };
  TShard& ShardOf(const std::string& AKey);

  std::array<TShard, 32> FShards;
};

/// How many connections the machine can take: the least of what the descriptor limit, the
/// thread limits and the memory control groups leave, each less a safety margin (see Cap in the
/// .cpp). Read at the start, then again at most once a second, and before a refusal once the
/// last reading is 100 ms old, so that a client is refused on a fresh reading.
///
/// Threads: any thread; a reading runs on one thread at a time, the others use the last one.
class TIdMachineCap {
public:
  /// Memory charged to the machine for one idle connection and its thread (measured with a
  /// plain socket transport: socket buffers, kernel objects, the touched stack, the objects).
  static constexpr int64_t BytesPerConnection = 64 * 1024;

  /// The first reading, with APeers connections running; counts the open descriptors.
  void Start(int32_t APeers);
  /// The cap with APeers connections running: at most that many; 0 when nothing limits them (or
  /// before Start).
  int32_t CapAt(int32_t APeers);

private:
  using TClock = std::chrono::steady_clock;
  void Read(int32_t APeers);
  void ReadLocked(int32_t APeers) ID_REQUIRES(FReadLock);

  TMutex FReadLock;                                                   // one reading at a time
  std::unique_ptr<TIdMachineLimits> FLimits ID_GUARDED_BY(FReadLock); // made by the first Start
  int64_t FOtherDescriptors ID_GUARDED_BY(FReadLock) = 0; // open at the start, not the peers'
  std::atomic<int32_t> FCap{0};
  std::atomic<TClock::rep> FReadAt{0};
};

/// The admission of a server's clients.
class TIdConnectionLimits {
public:
  /// At activation: AMaxConnections and APerAddress as set; when AMaxConnections is not
  /// positive, the machine is read.
  void Prepare(int32_t AMaxConnections, int32_t APerAddress, int32_t APeers);
  /// Whether one more client fits with APeers running: rfLimit over MaxConnections, rfResources
  /// over the machine's cap, else rfNone.
  TIdRefusal AdmitCount(int32_t APeers);
  /// With a per-address limit, a slot of AIP's address, or nullptr with rfPerAddress; without
  /// one, nullptr with rfNone.
  TIdRefusal TakeAddress(const std::string& AIP, std::unique_ptr<TIdAddressSlot>& ASlot);
  /// The limit in force: MaxConnections when positive, else the machine's cap (0: none).
  int32_t Cap(int32_t APeers);
  /// The per-address counts.
  TIdAddressCounts& Addresses() noexcept { return FAddresses; }

private:
  int32_t FMaxConnections = 0;
  int32_t FPerAddress = 0;
  TIdMachineCap FMachine;
  TIdAddressCounts FAddresses;
};

} // namespace Id
