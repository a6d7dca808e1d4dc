// SPDX-License-Identifier: MIT
// Fuzz target: the IPv6 address texts of the stack, checked against the C library. Without a
// scope, IsIPv6AddressText must agree with inet_pton, ParseIPv6AddressText must give its bytes,
// IPv6AddressToText must write them as inet_ntop does, and that text must read back to the same
// bytes. With a scope ("%" and an interface), the address before it must follow the same rules
// and the scope must come back unchanged.
//
// Input: the text, whole.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "idframework/net/IdStack.h"

namespace {

using namespace Id;
using IdFuzz::Check;

// What the stack takes as a scope: 1 to 32 printable characters, no blank, "%" or "/".
bool IsModelScope(const std::string& AScope) {
  return !AScope.empty() && AScope.size() <= 32 &&
         std::all_of(AScope.begin(), AScope.end(),
                     [](char C) { return C > ' ' && C < 0x7F && C != '%' && C != '/'; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string Text(reinterpret_cast<const char*>(AData), ASize);
  const size_t Percent = Text.find('%');
  const std::string Address = Text.substr(0, Percent);
  const std::string Scope = Percent == std::string::npos ? std::string() : Text.substr(Percent + 1);

  // The C library reads up to the first NUL; the stack takes no NUL anywhere.
  in6_addr Expected{};
  const bool LibraryTakes = Address.find('\0') == std::string::npos &&
                            ::inet_pton(AF_INET6, Address.c_str(), &Expected) == 1;
  const bool ScopeFits = Percent == std::string::npos || IsModelScope(Scope);
  const bool IsAddress = TIdStack::IsIPv6AddressText(Text);
  Check(IsAddress == (LibraryTakes && ScopeFits), "IsIPv6AddressText disagrees with inet_pton");

  TIdIPv6Bytes Parsed{};
  std::string ParsedScope;
  try {
    TIdStack::ParseIPv6AddressText(Text, Parsed, ParsedScope);
  } catch (const EConvertError&) {
    Check(!IsAddress, "an IPv6 address text did not convert");
    return 0;
  }
  Check(IsAddress, "a text that is no IPv6 address converted");
  Check(std::memcmp(Parsed.data(), &Expected, Parsed.size()) == 0, "other bytes than inet_pton");
  Check(ParsedScope == Scope, "the scope changed");

  char Written[INET6_ADDRSTRLEN] = {};
  Check(::inet_ntop(AF_INET6, &Expected, Written, sizeof(Written)) != nullptr, "inet_ntop failed");
  const std::string Back = TIdStack::IPv6AddressToText(Parsed);
  Check(Back == Written, "IPv6AddressToText writes otherwise than inet_ntop");

  TIdIPv6Bytes Again{};
  std::string NoScope;
  TIdStack::ParseIPv6AddressText(Back, Again, NoScope);
  Check(Again == Parsed && NoScope.empty(), "the address changed on its way back");
  return 0;
}
