// SPDX-License-Identifier: MIT
// Fuzz target: arbitrary proxy replies, cut into arbitrary pieces, fed to the SOCKS 4, 4A and 5
// negotiation over an in-memory transport. The negotiation must end either in an exception of
// the framework's tree or with exactly one well-formed reply taken, never reading past what it
// asked for.
//
// Input layout: byte 0 picks the protocol (bits 0-1: 4, 4A, 5 without and 5 with user name and
// password) and the largest piece a receive may return (bits 2-4: 1 to 8 bytes, or all);
// byte 1 is the target host name's length (bit 7 of byte 0 adds 256, beyond what may be sent);
// the rest is what the proxy answers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "idframework/connection/IdIOHandler.h"
#include "idframework/connection/IdSocks.h"
#include "idframework/core/IdException.h"

namespace {

using namespace Id;

/// The length of the one exchange a successful negotiation must have taken from AReply.
std::size_t ExpectedReplyLength(TSocksVersion AVersion, bool AWithPassword, const uint8_t* AReply,
                                std::size_t ASize) {
  if (AVersion != TSocksVersion::svSocks5) return 8;
  const std::size_t Head = AWithPassword ? 4 : 2;
  IdFuzz::Check(ASize >= Head + 5, "success without a whole reply");
  const uint8_t* Connect = AReply + Head;
  switch (Connect[3]) {
  case 1:
    return Head + 10;
  case 3:
    return Head + 7 + Connect[4];
  case 4:
    return Head + 22;
  default:
    IdFuzz::Fail("an unknown address type accepted");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, std::size_t ASize) {
  if (ASize < 2) return 0;
  // The stack lives while a component does; keeping one avoids making it again for each input.
  static TIdSocksInfo KeepStack(nullptr);
  static const TSocksVersion Versions[] = {TSocksVersion::svSocks4, TSocksVersion::svSocks4A,
                                           TSocksVersion::svSocks5, TSocksVersion::svSocks5};
  const TSocksVersion Version = Versions[AData[0] & 3];
  const bool WithPassword = (AData[0] & 3) == 3;
  const unsigned PieceBits = (AData[0] >> 2) & 7;
  const std::size_t Piece = PieceBits == 7 ? SIZE_MAX : PieceBits + 1;
  const std::string Host(AData[1] + ((AData[0] & 0x80) ? 256u : 0u), 'h');

  TIdSocksInfo Info(nullptr);
  Info.SetVersion(Version);
  if (WithPassword) {
    Info.SetAuthentication(TSocksAuthentication::saUsernamePassword);
    Info.SetUsername("user");
    Info.SetPassword("password");
  }
  IdFuzz::TMemoryTransport Transport(
      std::string(reinterpret_cast<const char*>(AData) + 2, ASize - 2),
      IdFuzz::TChunkSchedule({Piece}), IdFuzz::TPayloadEnd::peSilence);
  try {
    // SOCKS 4 resolves the target itself: give it an address so no lookup leaves the machine.
    Info.NegotiateSocks(Transport, Version == TSocksVersion::svSocks4 ? "127.0.0.1" : Host, 80);
  } catch (const EIdException&) {
    return 0;
  }
  IdFuzz::Check(Transport.Taken() ==
                    ExpectedReplyLength(Version, WithPassword, AData + 2, ASize - 2),
                "the negotiation took more or less than one reply");
  return 0;
}
