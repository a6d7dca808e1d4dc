// Run-time basics: the root exception, string conversion and formatting.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Id {

/// Root of every exception the system raises. Carries a message and a help context.
class Exception : public std::exception {
public:
  explicit Exception(std::string AMessage = std::string(), int AHelpContext = 0);
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string AMessage) { FMessage = std::move(AMessage); }
  int HelpContext() const noexcept { return FHelpContext; }
  void SetHelpContext(int AHelpContext) noexcept { FHelpContext = AHelpContext; }

private:
  std::string FMessage;
  int FHelpContext;
};

/// A text that does not convert to the requested value.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

/// An index outside a list.
class EListError : public Exception {
public:
  using Exception::Exception;
};

/// A broken precondition of a routine ("assertion failure").
class EAssertionFailed : public Exception {
public:
  using Exception::Exception;
};

/// Stream and file failures.
class EStreamError : public Exception {
public:
  using Exception::Exception;
};
class EReadError : public EStreamError {
public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
  using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
public:
  using EStreamError::EStreamError;
};

/// One argument of Format: a text or a whole number.
using TFormatArg = std::variant<std::string, int64_t>;

/// printf-like formatting with "%s", "%d" and "%%". A placeholder that does not match its
/// argument, or a missing argument, raises EConvertError. Extra arguments are ignored.
std::string Format(const std::string& AFormat, const std::vector<TFormatArg>& AArgs);

/// Decimal (optionally signed, "$"/"0x" hexadecimal) text to a 32-bit integer; leading blanks are
/// allowed, anything else raises EConvertError "'<text>' is not a valid integer value".
int32_t StrToInt(const std::string& S);
bool TryStrToInt(const std::string& S, int32_t& Value);
int32_t StrToIntDef(const std::string& S, int32_t Default);
std::string IntToStr(int64_t Value);

/// Removes leading and trailing characters with codes up to 32.
std::string Trim(const std::string& S);
std::string TrimLeft(const std::string& S);
std::string TrimRight(const std::string& S);
/// Maps a..z to A..Z only.
std::string UpperCase(std::string S);
std::string LowerCase(std::string S);
/// ASCII case-insensitive equality.
bool SameText(std::string_view A, std::string_view B);

} // namespace Id
