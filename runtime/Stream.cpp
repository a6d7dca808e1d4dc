// SPDX-License-Identifier: MIT
#include "idframework/runtime/Stream.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "idframework/runtime/SysUtils.h"

#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace Id {

int64_t TStream::Size() {
  const int64_t Pos = Seek(0, TSeekOrigin::soCurrent);
  const int64_t Result = Seek(0, TSeekOrigin::soEnd);
  Seek(Pos, TSeekOrigin::soBeginning);
  return Result;
}

void TStream::ReadBuffer(void* ABuffer, int32_t ACount) {
  if (ACount != 0 && Read(ABuffer, ACount) != ACount) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* ABuffer, int32_t ACount) {
  if (ACount != 0 && Write(ABuffer, ACount) != ACount) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& ASource, int64_t ACount) {
  if (ACount == 0) {
    ASource.SetPosition(0);
    ACount = ASource.Size();
  }
  constexpr int32_t BlockSize = 61440;
  char Block[BlockSize];
  const int64_t Total = ACount;
  while (ACount > 0) {
    const int32_t N = static_cast<int32_t>(std::min<int64_t>(ACount, BlockSize));
    ASource.ReadBuffer(Block, N);
    WriteBuffer(Block, N);
    ACount -= N;
  }
  return Total;
}

TMemoryStream::~TMemoryStream() {
  std::free(FMemory);
}

void TMemoryStream::SetCapacity(int64_t ANew) {
  if (ANew == FCapacity) return;
  if (ANew == 0) {
    std::free(FMemory);
    FMemory = nullptr;
  } else {
    void* P = std::realloc(FMemory, static_cast<size_t>(ANew));
    if (!P) throw std::bad_alloc();
    FMemory = static_cast<char*>(P);
  }
  FCapacity = ANew;
}

void TMemoryStream::SetSize(int64_t ASize) {
  if (ASize < 0) ASize = 0;
  // Grow in steps of a quarter, so appends are amortised O(1); shrink to fit. A first small
  // write (a short line, a reply) takes a small block, which the allocator keeps at hand.
  constexpr int64_t SmallFirstBlock = 512;
  if (ASize > FCapacity && FCapacity == 0 && ASize <= SmallFirstBlock)
    SetCapacity(SmallFirstBlock);
  else if (ASize > FCapacity)
    SetCapacity(std::max<int64_t>(ASize, FCapacity + FCapacity / 4 + 8192));
  else if (ASize < FCapacity / 2 || ASize == 0)
    SetCapacity(ASize);
  FSize = ASize;
  if (FPosition > FSize) FPosition = FSize;
}

void TMemoryStream::Reserve(int64_t ACapacity) {
  if (ACapacity > FCapacity) SetCapacity(ACapacity);
}

void TMemoryStream::Clear() {
  SetCapacity(0);
  FSize = 0;
  FPosition = 0;
}

int32_t TMemoryStream::Read(void* ABuffer, int32_t ACount) {
  if (ACount <= 0 || FPosition >= FSize) return 0;
  const int32_t N = static_cast<int32_t>(std::min<int64_t>(ACount, FSize - FPosition));
  std::memcpy(ABuffer, FMemory + FPosition, static_cast<size_t>(N));
  FPosition += N;
  return N;
}

int32_t TMemoryStream::Write(const void* ABuffer, int32_t ACount) {
  if (ACount <= 0) return 0;
  const int64_t End = FPosition + ACount;
  if (End > FSize) {
    const int64_t Pos = FPosition;
    SetSize(End);
    FPosition = Pos;
  }
  std::memcpy(FMemory + FPosition, ABuffer, static_cast<size_t>(ACount));
  FPosition = End;
  return ACount;
}

int64_t TMemoryStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
  switch (AOrigin) {
  case TSeekOrigin::soBeginning:
    FPosition = AOffset;
    break;
  case TSeekOrigin::soCurrent:
    FPosition += AOffset;
    break;
  case TSeekOrigin::soEnd:
    FPosition = FSize + AOffset;
    break;
  }
  if (FPosition < 0) FPosition = 0;
  return FPosition;
}

TFileStream::TFileStream(const std::string& AFileName, uint16_t AMode) : FFileName(AFileName) {
  int Flags = O_BINARY;
  if (AMode == fmCreate)
    Flags |= O_RDWR | O_CREAT | O_TRUNC;
  else if ((AMode & 3) == fmOpenWrite)
    Flags |= O_WRONLY;
  else if ((AMode & 3) == fmOpenReadWrite)
    Flags |= O_RDWR;
  else
    Flags |= O_RDONLY;
  FHandle = ::open(AFileName.c_str(), Flags, 0666);
  if (FHandle < 0) {
    const int Err = errno;
    throw EFOpenError(
        Format(AMode == fmCreate ? "Cannot create file \"%s\". %s" : "Cannot open file \"%s\". %s",
               {AFileName, std::string(std::strerror(Err))}));
  }
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

int32_t TFileStream::Read(void* ABuffer, int32_t ACount) {
  for (;;) {
    const auto N = ::read(FHandle, ABuffer, static_cast<size_t>(std::max(ACount, 0)));
    if (N >= 0) return static_cast<int32_t>(N);
    if (errno != EINTR) return 0;
  }
}

int32_t TFileStream::Write(const void* ABuffer, int32_t ACount) {
  for (;;) {
    const auto N = ::write(FHandle, ABuffer, static_cast<size_t>(std::max(ACount, 0)));
    if (N >= 0) return static_cast<int32_t>(N);
    if (errno != EINTR) return 0;
  }
}

int64_t TFileStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
  const int Whence = AOrigin == TSeekOrigin::soBeginning ? SEEK_SET
                     : AOrigin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                         : SEEK_END;
  return static_cast<int64_t>(::lseek(FHandle, static_cast<off_t>(AOffset), Whence));
}

void TFileStream::SetSize(int64_t ASize) {
  if (::ftruncate(FHandle, static_cast<off_t>(ASize)) != 0) throw EWriteError("Stream write error");
}

} // namespace Id
