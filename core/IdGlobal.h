// SPDX-License-Identifier: MIT
// Enumerations shared across the framework, string and memory search, token cutting, and thread
// and time utilities.
#pragma once

#include <cstdint>
#include <string>

#include "idframework/runtime/Export.h"

namespace Id {

/// Whether activation sets the address-reuse option on listening sockets: rsTrue always, rsFalse
/// never, rsOSDependent as the socket stack says is the platform's custom.
enum class TIdReuseSocket { rsOSDependent = 0, rsTrue = 1, rsFalse = 2 };
/// What a line read does with a line longer than MaxLineLength.
enum class TIdMaxLineAction { maException = 0, maSplit = 1 };
enum class TIdCharSet { csGB2312 = 0, csBig5 = 1, csIso2022jp = 2, csEucKR = 3, csIso88591 = 4 };

/// The platform's path delimiter.
#ifdef _WIN32
inline constexpr char PathDelim = '\\';
#else
inline constexpr char PathDelim = '/';
#endif

/// 1-based position of ANeedle in AText, byte by byte; 0 when absent.
ID_API int32_t BytePos(const std::string& ANeedle, const std::string& AText);
/// The text search of this process: BytePos, as byte strings here use a single-byte code page.
using TIdPosProc = int32_t (*)(const std::string&, const std::string&);
extern ID_API const TIdPosProc TextPos;
/// 1-based position of the first occurrence at or after AStart (0 means 1); 0 when absent, when
/// the needle is empty or longer than the text, or when too few characters remain.
ID_API int32_t PosFrom(const std::string& ANeedle, const std::string& AText, int32_t AStart);
/// 1-based offset of ANeedle's bytes in the block; 0 when empty, longer than the block or absent.
ID_API int32_t FindInMemory(const std::string& ANeedle, const void* AMemory, int32_t ASize);

/// Named arguments of FetchToken.
inline constexpr bool DeleteToken = true;
inline constexpr bool KeepToken = false;
inline constexpr bool CaseSensitive = true;
/// Returns the text before the first ADelim; with ADelete, AInput loses it and the delimiter.
/// Not found: the whole input (emptied with ADelete).
ID_API std::string FetchToken(std::string& AInput, const std::string& ADelim = " ",
                              bool ADelete = true, bool ACaseSensitive = true);
/// FetchToken ignoring the case of a..z.
ID_API std::string FetchTokenNoCase(std::string& AInput, const std::string& ADelim = " ",
                                    bool ADelete = true);

inline int32_t MinInt(int32_t A, int32_t B) {
  return A < B ? A : B;
}
/// Suspends the calling thread.
ID_API void SleepMs(uint32_t AMilliseconds);
/// True on the application's main thread (the thread that started the process).
ID_API bool IsMainThread();
/// Appends the path delimiter when APath does not end with one.
ID_API std::string EnsureTrailingDelimiter(const std::string& APath);
/// The platform's temporary directory, ending with the path delimiter ($TMPDIR, else /tmp).
ID_API std::string TempDirectory();
/// Tells the system that the untouched memory [AStart, AStart + ASize) will be filled in bulk,
/// so that it is mapped in large pages where the system offers them. Changes no content; a
/// system without the notion ignores it.
ID_API void AdviseBulkFill(void* AStart, size_t ASize);

} // namespace Id
