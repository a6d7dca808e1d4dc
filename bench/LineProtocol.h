// SPDX-License-Identifier: MIT
// The line protocol every benchmark line server speaks: each "PING" line (LF or CR LF) is answered
// with "200" CR LF, any other line with "500" CR LF.
#pragma once

#include <cstddef>
#include <cstring>

namespace Id::Bench {

/// Length of every reply: "200\r\n" or "500\r\n".
inline constexpr size_t LineReplySize = 5;

/// The reply to the line from ABegin up to AEnd (the LF excluded, a CR before it allowed).
inline const char* LineReply(const char* ABegin, const char* AEnd) {
  if (AEnd > ABegin && AEnd[-1] == '\r') --AEnd;
  const bool IsPing = AEnd - ABegin == 4 && std::memcmp(ABegin, "PING", 4) == 0;
  return IsPing ? "200\r\n" : "500\r\n";
}

/// Answers the complete lines among the AHeld bytes at ABuffer, one ASend(reply, LineReplySize)
/// per line, and keeps the rest at the front. False when a send failed or the unfinished line
/// fills the whole buffer of ASize bytes.
template <class TSend> bool AnswerLines(char* ABuffer, size_t& AHeld, size_t ASize, TSend&& ASend) {
  char* Start = ABuffer;
  char* End = ABuffer + AHeld;
  while (char* Lf = static_cast<char*>(std::memchr(Start, '\n', size_t(End - Start)))) {
    if (!ASend(LineReply(Start, Lf), LineReplySize)) return false;
    Start = Lf + 1;
  }
  AHeld = size_t(End - Start);
  std::memmove(ABuffer, Start, AHeld);
  return AHeld < ASize;
}

} // namespace Id::Bench
