// SPDX-License-Identifier: MIT
#include "idframework/connection/detail/IdStreamSend.h"

#include <sys/stat.h>

#include <algorithm>

#include "idframework/connection/IdTCPConnection.h"
#include "idframework/core/IdException.h"
#include "idframework/runtime/ScopeExit.h"
#include "idframework/runtime/Stream.h"

namespace Id {

void SendStream(TIdTCPConnection& AConnection, TStream& AStream, bool AFromStart,
                bool AWriteByteCount, int32_t ACount) {
  if (AFromStart) AStream.SetPosition(0);
  const int64_t Start = AStream.Position();
  const int64_t End = ACount == 0 ? AStream.Size() : Start + ACount;
  if (AWriteByteCount)
    AConnection.WriteInt32(static_cast<int32_t>(End - Start), TIdTCPConnection::NetworkOrder);
  AConnection.NotifyWorkBegin(TWorkMode::wkWrite, static_cast<int32_t>(End - Start));
  TScopeExit EndWork([&] { AConnection.NotifyWorkEnd(TWorkMode::wkWrite); });
  // A block size below 1 would end the loop at once and silently send nothing.
  std::string Block(static_cast<size_t>(std::max(AConnection.SendBufferSize(), 1)), '\0');
  for (;;) {
    const auto Want = static_cast<int32_t>(
        std::min<int64_t>(End - AStream.Position(), static_cast<int64_t>(Block.size())));
    if (Want <= 0) break;
    const int32_t Got = AStream.Read(Block.data(), Want);
    if (Got <= 0) throw EIdNoDataToRead();
    AConnection.WriteBytes(Block.data(), Got);
  }
}

bool IsFileToSend(const std::string& AFileName) {
  struct stat Info {};
  return ::stat(AFileName.c_str(), &Info) == 0 && S_ISREG(Info.st_mode);
}

uint32_t SendFileStreamed(TIdTCPConnection& AConnection, const std::string& AFileName) {
  TFileStream File(AFileName, fmOpenRead);
  AConnection.WriteFromStream(File, true, false, 0);
  return static_cast<uint32_t>(File.Size());
}

} // namespace Id
