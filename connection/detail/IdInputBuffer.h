// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The received input of a connection that no reader has taken yet, and how it comes in and goes
// out: where each receive lands, how the receive block grows, and how lines and the rest are
// taken.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "idframework/connection/IdBuffers.h"
#include "idframework/core/IdGlobal.h"

namespace Id {

class TIdConnectionIntercept;
class TIdIOHandler;

/// Where one receive lands: a block and the most bytes the receive may put there.
struct TIdReceiveSpace {
  char* Block = nullptr;
  int32_t Length = 0;
};

/// The input of one connection: the received bytes that no reader has taken yet (Pending), the
/// policy of receiving them and of taking them out.
///
/// A transfer whose receives fill their blocks (bulk) gets blocks that double up to the
/// connection's limit and land straight in the free room after the pending bytes, so each byte
/// is copied once, into what the reader takes out. A receive that waits for its peer lands in a
/// small block on the reading thread's stack and is then copied to the pending bytes, so that a
/// waiting connection holds no receive memory. With an intercept each receive also goes through
/// a staging block, the stream the intercept works on.
///
/// Threads: used by the connection's thread only; no locking.
class TIdInputBuffer {
public:
  /// The size of the block on the reading thread's stack that a waiting receive lands in.
  static constexpr int32_t RestingSize = 1024;
  /// The first receive block of a bulk transfer.
  static constexpr int32_t FirstBlock = 4096;

  /// AOnBytesDropped is the pending bytes' dropped notification (the connection's read work).
  explicit TIdInputBuffer(TIdBytesDroppedEvent AOnBytesDropped);

  /// The received bytes no reader has taken yet. Owned.
  TIdManagedBuffer& Pending() noexcept { return FPending; }

  /// Where the next receive goes and how much it may take (at most ALimit, at least 1 byte).
  /// AResting is a block of RestingSize bytes on the caller's stack; AStaged is true when an
  /// intercept will see the bytes. Valid until the next change of the buffer.
  TIdReceiveSpace ReceiveSpace(int32_t ALimit, char* AResting, bool AStaged);
  /// Makes the ACount bytes received into ASpace pending: through AIntercept when set (which may
  /// change them), masked to 7 bits when AASCIIFilter. Returns how many became pending.
  int32_t Commit(const TIdReceiveSpace& ASpace, int32_t ACount, TIdConnectionIntercept* AIntercept,
                 bool AASCIIFilter);
  /// A receive that brought nothing (a timeout, a close): its space is given up.
  void Abandon() noexcept;
  /// One receive from ATransport of at most ALimit bytes, waiting up to ATimeout ms (see
  /// TIdIOHandler::ReceiveWhenReadable): the transport's raw result, none when the time passed.
  /// A positive one is committed at once; AKept is how many bytes became pending (0 otherwise).
  std::optional<int32_t> ReceiveFrom(TIdIOHandler& ATransport, int32_t ALimit, int32_t ATimeout,
                                     TIdConnectionIntercept* AIntercept, bool AASCIIFilter,
                                     int32_t& AKept);
  /// Drops every pending byte (without notification) and the receive history.
  void Clear() noexcept;

  /// The next line ended by ATerminator, without it; for "\n" one CR before it is dropped too.
  /// ASearched (0 at the start of a read) is how far earlier calls of the same read searched.
  /// A line longer than AMaxLength (0: no limit), or pending bytes without terminator that are
  /// already longer, raise EIdReadLnMaxLineLengthExceeded under maException; under maSplit the
  /// first AMaxLength bytes are returned and ASplit set. None when no whole line is pending.
  std::optional<std::string> TakeLine(const std::string& ATerminator, int32_t AMaxLength,
                                      TIdMaxLineAction AAction, int32_t& ASearched, bool& ASplit);
  /// Moves every pending byte to the end of AResult (the consumption is reported also when it
  /// is 0). AResult grows in powers of two, large blocks advised for large pages.
  void TakeAllInto(std::string& AResult);

private:
  int32_t NextBlock(int32_t ALimit) const noexcept;
  bool IsTail(const char* ABlock) const noexcept;
  int32_t Intercept(const TIdReceiveSpace& ASpace, int32_t ACount,
                    TIdConnectionIntercept& AIntercept);
  std::string TakeLineAt(int32_t AFoundAt, const std::string& ATerminator, int32_t AMaxLength,
                         TIdMaxLineAction AAction, bool& ASplit);
  std::string SplitOrRaise(int32_t AMaxLength, TIdMaxLineAction AAction, bool& ASplit);
  static void ReserveBulk(std::string& AResult, size_t ANeeded);

  TIdManagedBuffer FPending;
  TIdSimpleBuffer FStaging; // the intercept's stream; holds memory only while bulk flows
  int32_t FBlock = 0;       // the size the next bulk receive asks for (grows while they fill)
  bool FFilling = false;    // the last receive filled its block: bulk is flowing
};

} // namespace Id
