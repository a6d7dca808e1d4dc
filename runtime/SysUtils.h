// SPDX-License-Identifier: MIT
// Run-time basics: the root exception, string conversion and formatting.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "idframework/runtime/Export.h"

namespace Id {

/// Root of every exception the system raises. Carries a message and a help context.
class ID_API Exception : public std::exception {
public:
  /// An exception with AMessage as its text.
  explicit Exception(std::string AMessage = std::string(), int AHelpContext = 0);
  /// The message, for code that catches std::exception.
  const char* what() const noexcept override { return FMessage.c_str(); }
  /// The message, and its setter.
  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string AMessage) { FMessage = std::move(AMessage); }
  /// A number the application may attach; 0 by default.
  int HelpContext() const noexcept { return FHelpContext; }
  void SetHelpContext(int AHelpContext) noexcept { FHelpContext = AHelpContext; }

private:
  std::string FMessage;
  int FHelpContext;
};

/// A text that does not convert to the requested value.
class ID_API EConvertError : public Exception {
public:
  /// The constructors of Exception.
  using Exception::Exception;
};

/// An index outside a list.
class ID_API EListError : public Exception {
public:
  /// The constructors of Exception.
  using Exception::Exception;
};

/// A broken precondition of a routine ("assertion failure").
class ID_API EAssertionFailed : public Exception {
public:
  /// The constructors of Exception.
  using Exception::Exception;
};

/// Stream and file failures.
class ID_API EStreamError : public Exception {
public:
  /// The constructors of Exception.
  using Exception::Exception;
};
/// A stream that could not supply the bytes asked for.
class ID_API EReadError : public EStreamError {
public:
  /// The constructors of Exception.
  using EStreamError::EStreamError;
};
/// A stream that could not take the bytes given.
class ID_API EWriteError : public EStreamError {
public:
  /// The constructors of Exception.
  using EStreamError::EStreamError;
};
/// A file that could not be opened.
class ID_API EFOpenError : public EStreamError {
public:
  /// The constructors of Exception.
  using EStreamError::EStreamError;
};

/// One argument of Format: a text or a whole number.
using TFormatArg = std::variant<std::string, int64_t>;

/// printf-like formatting with "%s", "%d" and "%%". A placeholder that does not match its
/// argument, or a missing argument, raises EConvertError. Extra arguments are ignored.
ID_API std::string Format(const std::string& AFormat, const std::vector<TFormatArg>& AArgs);

/// Decimal (optionally signed, "$"/"0x" hexadecimal) text to a 32-bit integer; leading blanks are
/// allowed, anything else raises EConvertError "'<text>' is not a valid integer value".
ID_API int32_t StrToInt(const std::string& S);
ID_API bool TryStrToInt(const std::string& S, int32_t& Value);
ID_API int32_t StrToIntDef(const std::string& S, int32_t Default);
ID_API std::string IntToStr(int64_t Value);

/// Removes leading and trailing characters with codes up to 32.
ID_API std::string Trim(const std::string& S);
ID_API std::string TrimLeft(const std::string& S);
ID_API std::string TrimRight(const std::string& S);
/// Maps a..z to A..Z only.
ID_API std::string UpperCase(std::string S);
ID_API std::string LowerCase(std::string S);
/// ASCII case-insensitive equality.
ID_API bool SameText(std::string_view A, std::string_view B);

} // namespace Id
