// SPDX-License-Identifier: MIT
#include "idframework/connection/detail/IdInputBuffer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "idframework/connection/IdIOHandler.h"
#include "idframework/connection/IdIntercept.h"
#include "idframework/core/IdException.h"

namespace Id {

namespace {

// A line read up to LF also ends in CR LF, the CR dropped with it.
bool EndsLikeCrLf(const std::string& ATerminator, const char* ABytes, int32_t ACount) {
  return ATerminator == "\n" && ACount > 0 && ABytes[ACount - 1] == '\r';
}

// The length of the longest proper beginning of a line end that ends ABytes (0 when none): of
// ATerminator, or the CR of a CR LF when the terminator is LF.
int32_t PartialTerminatorAtEnd(const std::string& ATerminator, const char* ABytes, int32_t ACount) {
  if (EndsLikeCrLf(ATerminator, ABytes, ACount)) return 1;
  const int32_t Longest = std::min(ACount, static_cast<int32_t>(ATerminator.size()) - 1);
  for (int32_t K = Longest; K > 0; --K)
    if (std::memcmp(ABytes + ACount - K, ATerminator.data(), static_cast<size_t>(K)) == 0) return K;
  return 0;
}

} // namespace

TIdInputBuffer::TIdInputBuffer(TIdBytesDroppedEvent AOnBytesDropped)
    : FPending(std::move(AOnBytesDropped)) {}

// Receiving ----------------------------------------------------------------------------------

// The block starts small and doubles, up to the limit, each time a receive fills it: a
// connection that exchanges short lines keeps little memory, and a bulk transfer reaches the
// full block after a few receives. A block below 1 byte would read as an orderly close.
int32_t TIdInputBuffer::NextBlock(int32_t ALimit) const noexcept {
  return std::min(std::max(ALimit, 1), std::max(FBlock, FirstBlock));
}

TIdReceiveSpace TIdInputBuffer::ReceiveSpace(int32_t ALimit, char* AResting, bool AStaged) {
  const int32_t Size = NextBlock(ALimit);
  // The last receive did not fill its block: the peer is likely to make this one wait.
  if (!FFilling) return {AResting, std::min(Size, RestingSize)};
  if (AStaged) {
    FStaging.SetSize(Size);
    return {FStaging.Memory(), Size};
  }
  FPending.Reserve(FPending.DataSize() + Size);
  return {FPending.Memory() + FPending.DataSize(), Size};
}

bool TIdInputBuffer::IsTail(const char* ABlock) const noexcept {
  const char* Memory = FPending.Memory();
  return Memory && ABlock == Memory + FPending.DataSize();
}

int32_t TIdInputBuffer::Commit(const TIdReceiveSpace& ASpace, int32_t ACount,
                               TIdConnectionIntercept* AIntercept, bool AASCIIFilter) {
  const bool Filled = ACount == ASpace.Length;
  char* Block = ASpace.Block;
  if (AIntercept) {
    ACount = Intercept(ASpace, ACount, *AIntercept);
    Block = FStaging.Memory();
  }
  if (AASCIIFilter)
    for (int32_t I = 0; I < ACount; ++I)
      Block[I] = static_cast<char>(Block[I] & 0x7F);
  if (IsTail(Block)) {
    FPending.Extend(ACount);
    FPending.Seek(0, TSeekOrigin::soEnd);
  } else {
    FPending.Seek(0, TSeekOrigin::soEnd);
    FPending.WriteBuffer(Block, ACount);
  }
  FFilling = Filled;
  if (Filled && ASpace.Length < std::numeric_limits<int32_t>::max() / 2) FBlock = ASpace.Length * 2;
  if (!Filled) FStaging.Clear();
  return ACount;
}

// The intercept works on the staging block holding exactly the received bytes; returns how many
// it left there.
int32_t TIdInputBuffer::Intercept(const TIdReceiveSpace& ASpace, int32_t ACount,
                                  TIdConnectionIntercept& AIntercept) {
  if (ASpace.Block != FStaging.Memory()) {
    FStaging.SetSize(ACount);
    std::memcpy(FStaging.Memory(), ASpace.Block, static_cast<size_t>(ACount));
  }
  FStaging.SetSize(ACount);
  FStaging.SetPosition(0);
  AIntercept.InterceptReceive(FStaging);
  return static_cast<int32_t>(FStaging.DataSize());
}

std::optional<int32_t> TIdInputBuffer::ReceiveFrom(TIdIOHandler& ATransport, int32_t ALimit,
                                                   int32_t ATimeout,
                                                   TIdConnectionIntercept* AIntercept,
                                                   bool AASCIIFilter, int32_t& AKept) {
  char Resting[RestingSize];
  const TIdReceiveSpace Space = ReceiveSpace(ALimit, Resting, AIntercept != nullptr);
  const std::optional<int32_t> Received =
      ATransport.ReceiveWhenReadable(Space.Block, Space.Length, ATimeout);
  AKept = 0;
  if (Received && *Received > 0)
    AKept = Commit(Space, *Received, AIntercept, AASCIIFilter);
  else
    Abandon();
  return Received;
}

void TIdInputBuffer::Abandon() noexcept {
  FFilling = false;
  FStaging.Clear();
}

void TIdInputBuffer::Clear() noexcept {
  FPending.ClearAll();
  Abandon();
}

// Taking ---------------------------------------------------------------------------------------

std::optional<std::string> TIdInputBuffer::TakeLine(const std::string& ATerminator,
                                                    int32_t AMaxLength, TIdMaxLineAction AAction,
                                                    int32_t& ASearched, bool& ASplit) {
  const int32_t Unread = static_cast<int32_t>(FPending.UnreadCount());
  if (Unread > ASearched) {
    // Resume where the last search stopped; step back only far enough to find a longer
    // terminator whose bytes arrived in different receives.
    const int32_t Overlap = static_cast<int32_t>(ATerminator.size()) - 1;
    const int32_t From = std::max(0, ASearched - Overlap);
    const int32_t P = FindInMemory(ATerminator, FPending.UnreadStart() + From, Unread - From);
    ASearched = Unread;
    if (P > 0) {
      const int32_t FoundAt = From + P; // 1-based within the unread bytes
      return TakeLineAt(FoundAt, ATerminator, AMaxLength, AAction, ASplit);
    }
  }
  // Checked before every receive, so a line without end costs at most one receive block beyond
  // the limit. Trailing bytes that may begin a line end still on its way (the CR of CR LF) do
  // not make the line too long yet: the verdict must not depend on the receives.
  if (AMaxLength != 0 &&
      ASearched - PartialTerminatorAtEnd(ATerminator, FPending.UnreadStart(), ASearched) >
          AMaxLength)
    return SplitOrRaise(AMaxLength, AAction, ASplit);
  return std::nullopt;
}

// The line whose terminator begins at AFoundAt (1-based). The limit is of the line as returned:
// without the CR of a CR LF.
std::string TIdInputBuffer::TakeLineAt(int32_t AFoundAt, const std::string& ATerminator,
                                       int32_t AMaxLength, TIdMaxLineAction AAction, bool& ASplit) {
  const char* Start = FPending.UnreadStart();
  const int32_t Length = AFoundAt - 1 - (EndsLikeCrLf(ATerminator, Start, AFoundAt - 1) ? 1 : 0);
  if (AMaxLength != 0 && Length > AMaxLength) return SplitOrRaise(AMaxLength, AAction, ASplit);
  std::string Line(Start, static_cast<size_t>(Length));
  FPending.DropBytes(AFoundAt - 1 + static_cast<int32_t>(ATerminator.size()));
  return Line;
}

std::string TIdInputBuffer::SplitOrRaise(int32_t AMaxLength, TIdMaxLineAction AAction,
                                         bool& ASplit) {
  if (AAction == TIdMaxLineAction::maException) throw EIdReadLnMaxLineLengthExceeded();
  ASplit = true;
  return FPending.TakeBytes(AMaxLength);
}

void TIdInputBuffer::TakeAllInto(std::string& AResult) {
  const auto Count = static_cast<int32_t>(FPending.UnreadCount());
  if (Count > 0) {
    ReserveBulk(AResult, AResult.size() + static_cast<size_t>(Count));
    AResult.append(FPending.UnreadStart(), static_cast<size_t>(Count));
  }
  FPending.DropBytes(Count);
}

// A result that grows by doubling, where each new block is fresh memory: from a few MiB on it is
// advised for large pages where the system offers them before anything is copied into it, which
// spares most of the page faults that otherwise take much of a bulk read's time. The capacities
// are powers of two, so a result of such a size ends in a block that holds it exactly, not one
// doubling (and one copy of everything) later.
void TIdInputBuffer::ReserveBulk(std::string& AResult, size_t ANeeded) {
  if (ANeeded <= AResult.capacity()) return;
  const size_t Capacity = std::bit_ceil(std::max(ANeeded, AResult.capacity() * 2));
  constexpr size_t BulkFrom = size_t(4) << 20;
  if (Capacity < BulkFrom) {
    AResult.reserve(Capacity);
    return;
  }
  std::string Grown;
  Grown.reserve(Capacity);
  AdviseBulkFill(Grown.data(), Grown.capacity());
  Grown.append(AResult);
  AResult.swap(Grown);
}

} // namespace Id
