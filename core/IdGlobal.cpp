// SPDX-License-Identifier: MIT
#include "idframework/core/IdGlobal.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "idframework/runtime/SysUtils.h"

namespace Id {

namespace {
// Dynamic initialisation runs on the thread that starts the process.
const std::thread::id MainThreadId = std::this_thread::get_id();
} // namespace

int32_t BytePos(const std::string& ANeedle, const std::string& AText) {
  if (ANeedle.empty()) return 0;
  const size_t P = AText.find(ANeedle);
  return P == std::string::npos ? 0 : static_cast<int32_t>(P) + 1;
}

const TIdPosProc TextPos = &BytePos;

int32_t PosFrom(const std::string& ANeedle, const std::string& AText, int32_t AStart) {
  if (AStart <= 0) AStart = 1;
  const size_t NeedleLen = ANeedle.size();
  if (NeedleLen == 0 || NeedleLen > AText.size()) return 0;
  if (static_cast<size_t>(AStart) - 1 + NeedleLen > AText.size()) return 0;
  const size_t P = AText.find(ANeedle, static_cast<size_t>(AStart) - 1);
  return P == std::string::npos ? 0 : static_cast<int32_t>(P) + 1;
}

int32_t FindInMemory(const std::string& ANeedle, const void* AMemory, int32_t ASize) {
  const size_t NeedleLen = ANeedle.size();
  if (NeedleLen == 0 || ASize <= 0 || NeedleLen > static_cast<size_t>(ASize)) return 0;
  const char* Block = static_cast<const char*>(AMemory);
  const char* End = Block + ASize;
  const char* P = Block;
  while (P + NeedleLen <= End) {
    P = static_cast<const char*>(std::memchr(P, ANeedle[0], static_cast<size_t>(End - P)));
    if (!P || P + NeedleLen > End) return 0;
    if (std::memcmp(P, ANeedle.data(), NeedleLen) == 0) return static_cast<int32_t>(P - Block) + 1;
    ++P;
  }
  return 0;
}

namespace {

std::string CutToken(std::string& AInput, int32_t APos, size_t ADelimLen, bool ADelete) {
  if (APos == 0) {
    std::string Result = AInput;
    if (ADelete) AInput.clear();
    return Result;
  }
  std::string Result = AInput.substr(0, static_cast<size_t>(APos) - 1);
  if (ADelete) AInput.erase(0, static_cast<size_t>(APos) - 1 + ADelimLen);
  return Result;
}

bool IsNulDelimiter(const std::string& ADelim) {
  return ADelim.size() == 1 && ADelim[0] == '\0';
}

} // namespace

std::string FetchToken(std::string& AInput, const std::string& ADelim, bool ADelete,
                       bool ACaseSensitive) {
  if (!ACaseSensitive) return FetchTokenNoCase(AInput, ADelim, ADelete);
  const int32_t P = IsNulDelimiter(ADelim) ? BytePos(ADelim, AInput) : TextPos(ADelim, AInput);
  return CutToken(AInput, P, ADelim.size(), ADelete);
}

std::string FetchTokenNoCase(std::string& AInput, const std::string& ADelim, bool ADelete) {
  const int32_t P = IsNulDelimiter(ADelim) ? BytePos(ADelim, AInput)
                                           : TextPos(UpperCase(ADelim), UpperCase(AInput));
  return CutToken(AInput, P, ADelim.size(), ADelete);
}

void SleepMs(uint32_t AMilliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds));
}

bool IsMainThread() {
  return std::this_thread::get_id() == MainThreadId;
}

std::string EnsureTrailingDelimiter(const std::string& APath) {
  if (!APath.empty() && APath.back() == PathDelim) return APath;
  return APath + PathDelim;
}

} // namespace Id
