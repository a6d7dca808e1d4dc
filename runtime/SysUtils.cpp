// SPDX-License-Identifier: MIT
#include "idframework/runtime/SysUtils.h"

#include <cctype>
#include <limits>

namespace Id {

Exception::Exception(std::string AMessage, int AHelpContext)
    : FMessage(std::move(AMessage)), FHelpContext(AHelpContext) {}

namespace {

char UpperAscii(char C) {
  return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C;
}

[[noreturn]] void RaiseFormatError(const std::string& AFormat) {
  throw EConvertError("Format '" + AFormat + "' invalid or incompatible with argument");
}

const TFormatArg& NextArg(const std::string& AFormat, const std::vector<TFormatArg>& AArgs,
                          size_t& AIndex) {
  if (AIndex >= AArgs.size()) RaiseFormatError(AFormat);
  return AArgs[AIndex++];
}

bool IsBlank(char C) {
  return static_cast<unsigned char>(C) <= 32;
}

} // namespace

std::string Format(const std::string& AFormat, const std::vector<TFormatArg>& AArgs) {
  std::string Result;
  Result.reserve(AFormat.size() + 16);
  size_t ArgIndex = 0;
  for (size_t I = 0; I < AFormat.size(); ++I) {
    const char C = AFormat[I];
    if (C != '%') {
      Result += C;
      continue;
    }
    if (++I >= AFormat.size()) RaiseFormatError(AFormat);
    switch (AFormat[I]) {
    case '%':
      Result += '%';
      break;
    case 's': {
      const auto& Arg = NextArg(AFormat, AArgs, ArgIndex);
      if (!std::holds_alternative<std::string>(Arg)) RaiseFormatError(AFormat);
      Result += std::get<std::string>(Arg);
      break;
    }
    case 'd': {
      const auto& Arg = NextArg(AFormat, AArgs, ArgIndex);
      if (!std::holds_alternative<int64_t>(Arg)) RaiseFormatError(AFormat);
      Result += std::to_string(std::get<int64_t>(Arg));
      break;
    }
    default:
      RaiseFormatError(AFormat);
    }
  }
  return Result;
}

bool TryStrToInt(const std::string& S, int32_t& Value) {
  size_t I = 0;
  while (I < S.size() && S[I] == ' ')
    ++I;
  bool Negative = false;
  if (I < S.size() && (S[I] == '+' || S[I] == '-')) Negative = S[I++] == '-';
  int Base = 10;
  if (I < S.size() && S[I] == '$') {
    Base = 16;
    ++I;
  } else if (I + 1 < S.size() && S[I] == '0' && (S[I + 1] == 'x' || S[I + 1] == 'X')) {
    Base = 16;
    I += 2;
  }
  if (I >= S.size()) return false;
  int64_t Acc = 0;
  const int64_t Limit = Base == 10
                            ? int64_t(std::numeric_limits<int32_t>::max()) + (Negative ? 1 : 0)
                            : int64_t(std::numeric_limits<uint32_t>::max());
  for (; I < S.size(); ++I) {
    const int C = static_cast<unsigned char>(S[I]);
    int Digit;
    if (std::isdigit(C))
      Digit = C - '0';
    else if (Base == 16 && std::isxdigit(C))
      Digit = std::toupper(C) - 'A' + 10;
    else
      return false;
    Acc = Acc * Base + Digit;
    if (Acc > Limit) return false;
  }
  Value = static_cast<int32_t>(Negative ? -Acc : Acc);
  return true;
}

int32_t StrToInt(const std::string& S) {
  int32_t Value = 0;
  if (!TryStrToInt(S, Value)) throw EConvertError("'" + S + "' is not a valid integer value");
  return Value;
}

int32_t StrToIntDef(const std::string& S, int32_t Default) {
  int32_t Value = 0;
  return TryStrToInt(S, Value) ? Value : Default;
}

std::string IntToStr(int64_t Value) {
  return std::to_string(Value);
}

std::string TrimLeft(const std::string& S) {
  size_t B = 0;
  while (B < S.size() && IsBlank(S[B]))
    ++B;
  return S.substr(B);
}

std::string TrimRight(const std::string& S) {
  size_t E = S.size();
  while (E > 0 && IsBlank(S[E - 1]))
    --E;
  return S.substr(0, E);
}

std::string Trim(const std::string& S) {
  return TrimRight(TrimLeft(S));
}

std::string UpperCase(std::string S) {
  for (char& C : S)
    C = UpperAscii(C);
  return S;
}

std::string LowerCase(std::string S) {
  for (char& C : S)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
  return S;
}

bool SameText(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (UpperAscii(A[I]) != UpperAscii(B[I])) return false;
  return true;
}

} // namespace Id
