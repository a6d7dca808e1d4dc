// SPDX-License-Identifier: MIT
#include "idframework/connection/IdBuffers.h"

#include <cstring>

#include "idframework/core/IdException.h"

namespace Id {

TIdSimpleBuffer::TIdSimpleBuffer(TIdBytesDroppedEvent AOnBytesDropped)
    : FOnBytesDropped(std::move(AOnBytesDropped)) {}

void TIdSimpleBuffer::CheckAvailable(int32_t ACount, int64_t AAvailable) {
  if (ACount < 0 || ACount > AAvailable) throw EIdNotEnoughDataInBuffer();
}

void TIdSimpleBuffer::NotifyBytesDropped(int32_t ACount) {
  if (FOnBytesDropped) FOnBytesDropped(this, ACount);
}

std::string TIdSimpleBuffer::TakeBytes(int32_t ACount) {
  CheckAvailable(ACount, DataSize());
  std::string Result(Memory() ? Memory() : "", static_cast<size_t>(ACount));
  DropBytes(ACount);
  return Result;
}

void TIdSimpleBuffer::DropBytes(int32_t ACount) {
  const int64_t Size = DataSize();
  CheckAvailable(ACount, Size);
  if (ACount == Size) {
    Clear();
  } else if (ACount > 0) {
    std::memmove(Memory(), Memory() + ACount, static_cast<size_t>(Size - ACount));
    SetSize(Size - ACount);
  }
  NotifyBytesDropped(ACount);
}

TIdManagedBuffer::TIdManagedBuffer(TIdBytesDroppedEvent AOnBytesDropped)
    : TIdSimpleBuffer(std::move(AOnBytesDropped)) {}

int64_t TIdManagedBuffer::UnreadCount() const noexcept {
  return DataSize() - FReadOffset;
}

int64_t TIdManagedBuffer::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
  if (AOrigin == TSeekOrigin::soBeginning) AOffset += FReadOffset;
  int64_t Physical = TMemoryStream::Seek(AOffset, AOrigin);
  // Consumed bytes are gone for readers; never hand out a position among them.
  if (Physical < FReadOffset) Physical = TMemoryStream::Seek(FReadOffset, TSeekOrigin::soBeginning);
  return Physical - FReadOffset;
}

std::string TIdManagedBuffer::TakeBytes(int32_t ACount) {
  CheckAvailable(ACount, UnreadCount());
  std::string Result(ACount > 0 ? UnreadStart() : "", static_cast<size_t>(ACount));
  DropBytes(ACount);
  return Result;
}

void TIdManagedBuffer::DropBytes(int32_t ACount) {
  CheckAvailable(ACount, UnreadCount());
  if (ACount == UnreadCount()) {
    // Everything consumed: nothing to move; a small block is kept for the next line.
    if (Capacity() > KeptBlock) Clear();
    ClearKeepingBlock();
    FReadOffset = 0;
  } else {
    FReadOffset += ACount;
    if (FReadOffset >= FCompactThreshold) Compact();
  }
  NotifyBytesDropped(ACount);
}

void TIdManagedBuffer::ClearAll() {
  Clear();
  FReadOffset = 0;
}

void TIdManagedBuffer::Compact() {
  if (FReadOffset <= 0) return;
  const int64_t Unread = UnreadCount();
  const int64_t Pos = TMemoryStream::Seek(0, TSeekOrigin::soCurrent) - FReadOffset;
  std::memmove(Memory(), Memory() + FReadOffset, static_cast<size_t>(Unread));
  TMemoryStream::SetSize(Unread);
  FReadOffset = 0;
  TMemoryStream::Seek(Pos < 0 ? 0 : Pos, TSeekOrigin::soBeginning);
}

} // namespace Id
