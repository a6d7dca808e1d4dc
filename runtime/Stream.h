// SPDX-License-Identifier: MIT
// Byte streams: the abstract stream, an in-memory stream and a file stream.
#pragma once

#include <cstdint>
#include <string>

#include "idframework/runtime/Export.h"

namespace Id {

enum class TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

/// A sequence of bytes with a position.
class ID_API TStream {
public:
  virtual ~TStream() = default;
  /// Reads up to ACount bytes at the position; returns how many were read.
  virtual int32_t Read(void* ABuffer, int32_t ACount) = 0;
  /// Writes ACount bytes at the position; returns how many were written.
  virtual int32_t Write(const void* ABuffer, int32_t ACount) = 0;
  /// Moves the position; returns the new one.
  virtual int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) = 0;

  /// The position, and its setter (both by seeking).
  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t APos) { Seek(APos, TSeekOrigin::soBeginning); }
  /// Built on seeking to the end and back.
  virtual int64_t Size();
  virtual void SetSize(int64_t ASize) = 0;

  /// Read or write exactly ACount bytes, else EReadError / EWriteError.
  void ReadBuffer(void* ABuffer, int32_t ACount);
  void WriteBuffer(const void* ABuffer, int32_t ACount);
  /// Copies ACount bytes from ASource's position; ACount 0 copies all of ASource from its start.
  int64_t CopyFrom(TStream& ASource, int64_t ACount);
};

/// A stream over one growable memory block.
class ID_API TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  ~TMemoryStream() override;
  TMemoryStream(const TMemoryStream&) = delete;
  TMemoryStream& operator=(const TMemoryStream&) = delete;

  int32_t Read(void* ABuffer, int32_t ACount) override;
  int32_t Write(const void* ABuffer, int32_t ACount) override;
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
  void SetSize(int64_t ASize) override;

  /// Releases the block; size and position become 0.
  void Clear();
  /// Size and position become 0; the block stays for what is written next.
  void ClearKeepingBlock() noexcept {
    FSize = 0;
    FPosition = 0;
  }
  /// The block (nullptr when none); valid until the next change of size.
  char* Memory() noexcept { return FMemory; }
  const char* Memory() const noexcept { return FMemory; }
  /// The size of the block, at least the number of valid bytes.
  int64_t Capacity() const noexcept { return FCapacity; }
  /// The number of valid bytes in the block, read without seeking.
  int64_t DataSize() const noexcept { return FSize; }
  /// Makes the block hold at least ACapacity bytes; size, position and content stay.
  void Reserve(int64_t ACapacity);
  /// Takes ACount bytes that the caller wrote into the room after the data (Memory() +
  /// DataSize(), within Capacity) as data; the position stays.
  void Extend(int64_t ACount) noexcept { FSize += ACount; }

private:
  void SetCapacity(int64_t ANew);
  char* FMemory = nullptr; // owned
  int64_t FSize = 0;
  int64_t FPosition = 0;
  int64_t FCapacity = 0;
};

/// File open modes.
enum TFileMode : uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFF00,
};

/// A stream over a file. Open failures raise EFOpenError.
class ID_API TFileStream : public TStream {
public:
  /// Opens AFileName in AMode (the fmCreate / fmOpen... values); raises EFOpenError.
  TFileStream(const std::string& AFileName, uint16_t AMode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int32_t Read(void* ABuffer, int32_t ACount) override;
  int32_t Write(const void* ABuffer, int32_t ACount) override;
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
  void SetSize(int64_t ASize) override;
  /// The name the stream was opened with.
  const std::string& FileName() const noexcept { return FFileName; }
  /// The file descriptor.
  int Handle() const noexcept { return FHandle; }

private:
  std::string FFileName;
  int FHandle = -1; // owned
};

} // namespace Id
