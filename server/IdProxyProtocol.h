// SPDX-License-Identifier: MIT
// The PROXY protocol, versions 1 and 2, on the receiving side: the header that a load balancer
// puts in front of a client's bytes to say which client it relays, and to which address the
// client connected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "idframework/runtime/Export.h"

namespace Id {

class TIdIOHandler;

/// The address family of the relayed connection. pfUnknown: version 1 "UNKNOWN", version 2
/// LOCAL or AF_UNSPEC; the connection's own endpoints are then the ones to use.
enum class TIdProxyFamily { pfUnknown = 0, pfIPv4 = 1, pfIPv6 = 2, pfUnix = 3 };

/// One type-length-value field of a version 2 header, its value as received.
struct TIdProxyTLV {
  /// The type byte (0x01 ALPN, 0x02 authority, 0x03 CRC32C, 0x20 SSL, 0xE0 to 0xEF custom...).
  uint8_t Type = 0;
  /// The value's bytes.
  std::string Value;
};

/// What one PROXY protocol header says about the connection it came on.
struct ID_API TIdProxyHeader {
  /// 1 or 2.
  int32_t Version = 0;
  /// A version 2 LOCAL header: the balancer's own connection (a health check), no client behind.
  bool Local = false;
  TIdProxyFamily Family = TIdProxyFamily::pfUnknown;
  /// The client: dotted IPv4, or IPv6 in the recommended form in which the stack writes a
  /// peer's address (TIdStack::IPv6AddressToText), or the path of a pfUnix socket (up to its
  /// first NUL byte); empty for pfUnknown. Ports are 0 for pfUnix.
  std::string SourceIP;
  int32_t SourcePort = 0;
  /// The address and port the client connected to, in the same forms.
  std::string DestinationIP;
  int32_t DestinationPort = 0;
  /// A version 2 header's fields after the addresses, in their order, unknown types included.
  std::vector<TIdProxyTLV> TLVs;

  /// True when the header names the client (pfIPv4 or pfIPv6).
  bool HasAddresses() const noexcept {
    return Family == TIdProxyFamily::pfIPv4 || Family == TIdProxyFamily::pfIPv6;
  }
};

/// Reads one PROXY protocol header, version 1 or 2 (told apart by its first bytes), from bytes
/// handed over in pieces of any size, from one byte on. It never takes a byte past the header:
/// Wanted() is how many bytes the header has, at the least, still to come, so a reader that
/// receives no more than that leaves the client's first bytes unread in the socket (where a TLS
/// handshake, say, finds them).
///
/// The checks are strict, and the first byte that makes the header invalid raises at once:
/// EIdProxyHeaderMissing "No PROXY protocol header." when the bytes start neither signature;
/// EIdProxyHeaderMalformed "Malformed PROXY protocol header: <what>." (a version, command,
/// family, field, address, port or line end that is not allowed, a version 2 address block
/// shorter than its family's addresses, TLV fields that do not fill the rest exactly, or a CRC32C
/// field that does not match); EIdProxyHeaderTooLong "PROXY protocol header longer than <n>
/// bytes." for a version 1 line over 107 bytes or a version 2 header over MaxLength.
///
/// Threads: one thread at a time; no locking.
class ID_API TIdProxyHeaderReader {
public:
  /// The longest version 1 header, CR LF included.
  static constexpr size_t MaxLineLength = 107;
  /// The longest version 2 header accepted by default: the fixed 16 bytes and up to 4080 bytes
  /// of addresses and TLV fields. The protocol allows up to 16 + 65535.
  static constexpr size_t DefaultMaxLength = 4096;

  /// AMaxLength bounds a version 2 header; it is taken as 232 (the fixed part and the longest
  /// address block) when lower, as 65551 (the protocol's bound) when higher.
  explicit TIdProxyHeaderReader(size_t AMaxLength = DefaultMaxLength);

  /// The most bytes the next Feed may take without reading past the header; 0 once Complete.
  size_t Wanted() const;
  /// Takes the first min(ABytes.size(), Wanted()) bytes and returns their count; raises as the
  /// class says, and keeps raising once it has.
  size_t Feed(std::string_view ABytes);
  /// True once the whole header has been taken.
  bool Complete() const noexcept { return FComplete; }
  /// The bytes taken so far.
  size_t Taken() const noexcept { return FBytes.size(); }
  /// The header; filled in once Complete.
  const TIdProxyHeader& Header() const noexcept { return FHeader; }

private:
  void Check();
  void CheckPrefix();
  size_t LineWanted() const;
  void CheckLine();
  void ParseLine();
  void CheckFixedPart();
  void ParseBlock();
  void ParseAddresses(std::string_view ABlock);
  void ParseTLVs(std::string_view AFields);
  [[noreturn]] void Fail(const char* AReason);

  size_t FMaxLength;
  std::string FBytes;
  TIdProxyHeader FHeader;
  bool FComplete = false;
  std::exception_ptr FFailure; // what the first invalid byte raised, raised again by Feed
};

/// Where ReadProxyHeader takes its bytes from: receives at most ALength bytes into ABuffer,
/// waiting at most ATimeout ms (TimeoutInfinite: no limit), and returns the count, 0 when the
/// peer has closed, or none when the time ran out. Failures raise.
using TIdProxyReceive =
    std::function<std::optional<int32_t>(void* ABuffer, int32_t ALength, int32_t ATimeout)>;

/// Reads one header through AReceive, asking each time for no more than the reader wants, within
/// ATimeout ms for the whole header (TimeoutInfinite, or any negative value: no limit).
/// Raises the reader's exceptions, and EIdProxyHeaderTimeout "PROXY protocol header not
/// received in time." when the time runs out, EIdProxyHeaderTruncated "PROXY protocol header
/// cut short." when the peer closes inside the header, and EIdConnClosedGracefully when it
/// closes before its first byte (a balancer's plain health check does that).
ID_API TIdProxyHeader ReadProxyHeader(const TIdProxyReceive& AReceive, int32_t ATimeout,
                                      size_t AMaxLength = TIdProxyHeaderReader::DefaultMaxLength);
/// The same through a transport's ReceiveWhenReadable, before anything else reads from it; a
/// failed receive raises its EIdSocketError.
ID_API TIdProxyHeader ReadProxyHeader(TIdIOHandler& ATransport, int32_t ATimeout,
                                      size_t AMaxLength = TIdProxyHeaderReader::DefaultMaxLength);

} // namespace Id
