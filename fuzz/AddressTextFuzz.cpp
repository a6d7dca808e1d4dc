// SPDX-License-Identifier: MIT
// Fuzz target: the address texts of the stack. IsIPAddressText must agree with a plain model of
// its rule, ParseAddressText must either raise the conversion error or give the low bytes of the
// four parts it cut, and an address it accepts must survive the way back through AddressToText.
//
// Input: the text, whole.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "idframework/net/IdStack.h"
#include "idframework/runtime/SysUtils.h"

namespace {

using namespace Id;
using IdFuzz::Check;

// Four parts: up to the first, second and third ".", then everything after the third.
std::optional<TIdIPv4Bytes> ModelAddress(const std::string& AText) {
  std::string Parts[4];
  size_t Start = 0;
  for (int I = 0; I < 4; ++I) {
    const size_t Dot = I < 3 ? AText.find('.', Start) : std::string::npos;
    if (Dot == std::string::npos) {
      Parts[I] = AText.substr(Start);
      if (I < 3) return std::nullopt; // a missing "." leaves an empty part
      break;
    }
    Parts[I] = AText.substr(Start, Dot - Start);
    Start = Dot + 1;
  }
  TIdIPv4Bytes Bytes{};
  for (int I = 0; I < 4; ++I) {
    const std::string& P = Parts[I];
    if (P.empty() || P.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const size_t Digits = P.find_first_not_of('0');
    const std::string Significant = Digits == std::string::npos ? "0" : P.substr(Digits);
    if (Significant.size() > 3 || std::stoi(Significant) > 255) return std::nullopt;
    Bytes[size_t(I)] = static_cast<uint8_t>(std::stoi(Significant));
  }
  return Bytes;
}

// What ParseAddressText must give when it does not raise: each cut part's value, low 8 bits.
TIdIPv4Bytes CutAndConvert(const std::string& AText) {
  std::string Rest = AText;
  TIdIPv4Bytes Bytes{};
  for (auto& Byte : Bytes) {
    const size_t Dot = Rest.find('.');
    const std::string Part = Rest.substr(0, Dot);
    Rest = Dot == std::string::npos ? std::string() : Rest.substr(Dot + 1);
    int32_t Value = 0;
    Check(TryStrToInt(Part, Value), "a part that does not convert was accepted");
    Byte = static_cast<uint8_t>(Value & 0xFF);
  }
  return Bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  static std::unique_ptr<TIdStack> Stack = TIdStack::NewStackInstance();
  const std::string Text(reinterpret_cast<const char*>(AData), ASize);

  const bool IsAddress = TIdStack::IsIPAddressText(Text);
  const std::optional<TIdIPv4Bytes> Model = ModelAddress(Text);
  Check(IsAddress == Model.has_value(), "IsIPAddressText disagrees with its rule");

  TIdIPv4Bytes Parsed{};
  try {
    Stack->ParseAddressText(Text, Parsed);
  } catch (const EConvertError&) {
    Check(!IsAddress, "an address text did not convert");
    return 0;
  }
  Check(Parsed == CutAndConvert(Text), "ParseAddressText cut or converted differently");
  if (IsAddress) Check(Parsed == *Model, "an address text gave other bytes");
  const std::string Back = Stack->AddressToText(Parsed);
  Check(TIdStack::IsIPAddressText(Back), "AddressToText gave no address text");
  TIdIPv4Bytes Again{};
  Stack->ParseAddressText(Back, Again);
  Check(Again == Parsed, "the address changed on its way back");
  Check(Stack->TextToAddress(Text) == Stack->TextToAddress(Back), "TextToAddress differs");
  return 0;
}
