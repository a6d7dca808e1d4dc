// The raw byte channel under a TLS session: a socket transport, or memory in tests and fuzzing.
#pragma once

#include <cstdint>

#include "runtime/Export.h"

namespace Id {

/// What a TIdTLSEngine reads its records from and writes them to. Called only on the thread
/// that is inside a call of the engine; may raise (the engine hands the exception on to its
/// caller once OpenSSL has returned).
class ID_API TIdTLSPipe {
public:
  /// The result of a pipe call that could not move a byte now (a time limit passed, or a send
  /// that must not wait); the engine's call can be repeated later.
  static constexpr int32_t NoBytesNow = -2;

  /// Bytes received (1..ALength), 0 at the end of the stream, -1 for a socket failure (its
  /// number stays in the stack's last error of this thread) or NoBytesNow.
  virtual int32_t PipeReceive(void* ABuffer, int32_t ALength) = 0;
  /// Bytes taken (1..ALength), -1 for a socket failure, or NoBytesNow.
  virtual int32_t PipeSend(const void* ABuffer, int32_t ALength) = 0;

protected:
  ~TIdTLSPipe() = default;
};

} // namespace Id
