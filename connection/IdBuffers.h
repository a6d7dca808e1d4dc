// SPDX-License-Identifier: MIT
// The connection's byte buffers: a stream that hands out and drops bytes from its front, and the
// buffer of unconsumed input that drops by advancing a read offset and compacts only now and then.
// Both belong to the TIdTCPConnection unit; they live in their own pair of files for readability.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "idframework/runtime/Export.h"
#include "idframework/runtime/Stream.h"

namespace Id {

class TIdSimpleBuffer;

/// Told how many bytes a buffer has just dropped from its front (also 0).
using TIdBytesDroppedEvent = std::function<void(TIdSimpleBuffer* ASender, int32_t ACount)>;

/// An in-memory byte stream that can hand out and drop bytes from its front. Used by one thread
/// at a time (the thread of its connection); no locking.
class ID_API TIdSimpleBuffer : public TMemoryStream {
public:
  /// AOnBytesDropped is fixed for the life of the buffer; it may be empty.
  explicit TIdSimpleBuffer(TIdBytesDroppedEvent AOnBytesDropped = nullptr);

  /// The first ACount bytes as a string, then DropBytes(ACount). More than the size raises
  /// EIdNotEnoughDataInBuffer "Not enough data in buffer." before any change.
  virtual std::string TakeBytes(int32_t ACount);
  /// Removes the first ACount bytes and reports them to OnBytesDropped; raises as TakeBytes.
  virtual void DropBytes(int32_t ACount);

protected:
  /// Raises EIdNotEnoughDataInBuffer when ACount is more than AAvailable (or negative).
  static void CheckAvailable(int32_t ACount, int64_t AAvailable);
  /// Fires OnBytesDropped with ACount.
  void NotifyBytesDropped(int32_t ACount);

private:
  TIdBytesDroppedEvent FOnBytesDropped;
};

/// The buffer of unconsumed input. Bytes are appended at the end (seek to the end, write) and
/// consumed from the front by advancing ReadOffset; consumed bytes are squeezed out only once
/// CompactThreshold of them have piled up. When all is consumed a small block (at most
/// KeptBlock bytes) is kept for the next input, a larger one released.
/// Size, positions and seeking are relative to the first unread byte. One thread; no locking.
class ID_API TIdManagedBuffer : public TIdSimpleBuffer {
public:
  /// An empty buffer that reports consumed bytes to AOnBytesDropped.
  explicit TIdManagedBuffer(TIdBytesDroppedEvent AOnBytesDropped = nullptr);

  /// Seeks relative to the unread bytes; returns the position counted from the first unread byte.
  /// A target before the first unread byte is clamped to it.
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
  /// As TIdSimpleBuffer::TakeBytes, taken from UnreadStart.
  std::string TakeBytes(int32_t ACount) override;
  /// Consumes ACount unread bytes: O(1) apart from the periodic compaction.
  void DropBytes(int32_t ACount) override;

  /// The first unread byte; valid until the next change of the buffer. nullptr when empty.
  char* UnreadStart() noexcept { return Memory() ? Memory() + FReadOffset : nullptr; }
  /// The number of unread bytes (the same as Size(), without seeking).
  int64_t UnreadCount() const noexcept;
  /// Releases the block and resets ReadOffset; fires no notification.
  void ClearAll();
  /// Moves the unread bytes to the front of the block and shrinks it; nothing when offset is 0.
  void Compact();

  /// The largest block kept when everything is consumed: a line protocol reuses it line after
  /// line, and a connection that waits holds no more.
  static constexpr int64_t KeptBlock = 4096;
  /// Consumed bytes that make the next drop compact the block.
  int32_t CompactThreshold() const noexcept { return FCompactThreshold; }
  /// Where the unread bytes start in the block.
  int32_t ReadOffset() const noexcept { return FReadOffset; }

private:
  int32_t FCompactThreshold = 32768;
  int32_t FReadOffset = 0;
};

} // namespace Id
