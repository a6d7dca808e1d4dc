// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// Sending streams and files through a connection, block by block, on top of its WriteBytes.
#pragma once

#include <cstdint>
#include <string>

namespace Id {

class TIdTCPConnection;
class TStream;

/// WriteFromStream of AConnection: ACount bytes of AStream (0: up to its end) in blocks of its
/// SendBufferSize, as one unit of write work; with AWriteByteCount the amount goes first as a
/// network-order 32-bit value. Raises EIdNoDataToRead when the stream ends early, and what the
/// connection's writes raise.
void SendStream(TIdTCPConnection& AConnection, TStream& AStream, bool AFromStart,
                bool AWriteByteCount, int32_t ACount);
/// True when AFileName names an existing regular file (a directory is not a file to send).
bool IsFileToSend(const std::string& AFileName);
/// The whole file as a stream through AConnection; returns its size. Raises what opening the
/// file and SendStream raise.
uint32_t SendFileStreamed(TIdTCPConnection& AConnection, const std::string& AFileName);

} // namespace Id
