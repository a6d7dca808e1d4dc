// SPDX-License-Identifier: MIT
#include "idframework/server/IdProxyProtocol.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <exception>

#include "idframework/connection/IdIOHandler.h"
#include "idframework/core/IdException.h"
#include "idframework/net/IdStack.h"

namespace Id {

namespace {

constexpr std::string_view V2Signature("\r\n\r\n\0\r\nQUIT\n", 12);
constexpr std::string_view V1Prefix = "PROXY ";
// "PROXY UNKNOWN\r\n": no header of either version is shorter (version 2 has 16 bytes at least).
constexpr size_t ShortestHeader = 15;
constexpr size_t V2FixedLength = 16;
constexpr size_t V2LongestBlock = 216; // two AF_UNIX paths
constexpr size_t V2LongestHeader = V2FixedLength + 0xFFFF;
constexpr uint8_t V2CommandLocal = 0x0;
constexpr uint8_t V2CommandProxy = 0x1;
constexpr uint8_t TLVCRC32C = 0x03;

// The address block of each version 2 family (AF_UNSPEC, AF_INET, AF_INET6, AF_UNIX).
constexpr std::array<size_t, 4> V2AddressLength = {0, 12, 36, 216};

// The fields of a version 1 line after "PROXY TCP4 " or "PROXY TCP6 ", and the shortest text of
// each: source and destination address, source and destination port.
constexpr size_t V1FieldCount = 4;
constexpr std::array<size_t, V1FieldCount> V1ShortestTCP4 = {7, 7, 1, 1};
constexpr std::array<size_t, V1FieldCount> V1ShortestTCP6 = {2, 2, 1, 1};

uint16_t ReadU16(std::string_view ABytes, size_t AAt) {
  return static_cast<uint16_t>(static_cast<uint8_t>(ABytes[AAt]) << 8 |
                               static_cast<uint8_t>(ABytes[AAt + 1]));
}

// The address of the type's size at AAt.
template <class TAddress> TAddress AddressAt(std::string_view ABytes, size_t AAt) {
  TAddress Address;
  std::memcpy(Address.data(), ABytes.data() + AAt, Address.size());
  return Address;
}

// CRC-32C (Castagnoli), bit by bit: headers that carry one are short and rare.
uint32_t CRC32C(std::string_view ABytes) {
  uint32_t CRC = 0xFFFFFFFFu;
  for (const char Byte : ABytes) {
    CRC ^= static_cast<uint8_t>(Byte);
    for (int Bit = 0; Bit < 8; ++Bit)
      CRC = (CRC >> 1) ^ (0x82F63B78u & (0u - (CRC & 1u)));
  }
  return ~CRC;
}

// A decimal port: 1 to 5 digits, no leading zero, at most 65535.
std::optional<int32_t> ParsePort(std::string_view AText) {
  if (AText.empty() || AText.size() > 5 || (AText.size() > 1 && AText[0] == '0'))
    return std::nullopt;
  int32_t Port = 0;
  for (const char C : AText) {
    if (C < '0' || C > '9') return std::nullopt;
    Port = Port * 10 + (C - '0');
  }
  if (Port > 0xFFFF) return std::nullopt;
  return Port;
}

// Cuts AText at each blank.
std::vector<std::string_view> SplitFields(std::string_view AText) {
  std::vector<std::string_view> Fields;
  for (size_t Start = 0;;) {
    const size_t Blank = AText.find(' ', Start);
    Fields.push_back(AText.substr(Start, Blank - Start));
    if (Blank == std::string_view::npos) return Fields;
    Start = Blank + 1;
  }
}

// A complete IPv4 field: dotted decimal, no part with a leading zero.
bool IsIPv4Field(std::string_view AText) {
  for (size_t I = 0; I + 1 < AText.size(); ++I)
    if (AText[I] == '0' && (I == 0 || AText[I - 1] == '.') && AText[I + 1] != '.') return false;
  return TIdStack::IsIPAddressText(std::string(AText));
}

// A complete IPv6 field: any text form of an address, without a scope.
bool IsIPv6Field(std::string_view AText) {
  return AText.find('%') == std::string_view::npos &&
         TIdStack::IsIPv6AddressText(std::string(AText));
}

// An address's text as the stack writes it for a peer: the recommended form.
std::string IPv6Text(std::string_view AField) {
  TIdIPv6Bytes Address;
  std::string Scope;
  TIdStack::ParseIPv6AddressText(std::string(AField), Address, Scope);
  return TIdStack::IPv6AddressToText(Address);
}

std::string IPv4Text(const TIdIPv4Bytes& AAddress) {
  return std::to_string(AAddress[0]) + '.' + std::to_string(AAddress[1]) + '.' +
         std::to_string(AAddress[2]) + '.' + std::to_string(AAddress[3]);
}

bool IsAddressChar(char AChar, bool AIPv6) {
  if (AChar == '.' || (AChar >= '0' && AChar <= '9')) return true;
  return AIPv6 &&
         (AChar == ':' || (AChar >= 'a' && AChar <= 'f') || (AChar >= 'A' && AChar <= 'F'));
}

// A complete version 1 field must be valid; one still being read must have only characters
// that its kind allows, and not too many of them.
bool V1FieldValid(size_t AIndex, std::string_view AText, bool AIPv6, bool AComplete) {
  if (AIndex >= V1FieldCount) return false;
  const bool IsPort = AIndex >= 2;
  if (AComplete && IsPort) return ParsePort(AText).has_value();
  if (AComplete) return AIPv6 ? IsIPv6Field(AText) : IsIPv4Field(AText);
  const size_t Longest = IsPort ? 5 : AIPv6 ? 45 : 15;
  return AText.size() <= Longest && std::all_of(AText.begin(), AText.end(), [&](char C) {
           return IsPort ? C >= '0' && C <= '9' : IsAddressChar(C, AIPv6);
         });
}

// What is wrong with the address and port fields of a TCP4 or TCP6 line so far, or nullptr;
// AEnded when the line's CR came after them.
const char* V1FieldsFault(std::string_view AFields, bool AIPv6, bool AEnded) {
  const std::vector<std::string_view> Parts = SplitFields(AFields);
  for (size_t I = 0; I < Parts.size(); ++I)
    if (!V1FieldValid(I, Parts[I], AIPv6, I + 1 < Parts.size() || AEnded))
      return I < 2              ? RS::RSProxyBadAddress
             : I < V1FieldCount ? RS::RSProxyBadPort
                                : RS::RSProxyBadFields;
  return AEnded && Parts.size() != V1FieldCount ? RS::RSProxyBadFields : nullptr;
}

// The protocol field of a version 1 line so far, with what follows it: "TCP4 ", "TCP6 ",
// "UNKNOWN " or "UNKNOWN" CR, or a beginning of one of them.
bool V1ProtocolPossible(std::string_view ALine) {
  for (const std::string_view Protocol : {"TCP4 ", "TCP6 ", "UNKNOWN ", "UNKNOWN\r"}) {
    const size_t N = std::min(ALine.size(), Protocol.size());
    if (ALine.substr(0, N) == Protocol.substr(0, N)) return true;
  }
  return false;
}

} // namespace

TIdProxyHeaderReader::TIdProxyHeaderReader(size_t AMaxLength)
    : FMaxLength(std::clamp(AMaxLength, V2FixedLength + V2LongestBlock, V2LongestHeader)) {}

size_t TIdProxyHeaderReader::Wanted() const {
  if (FComplete || FFailure) return 0;
  const size_t Size = FBytes.size();
  if (Size == 0 || FBytes[0] != '\r') {
    if (Size < ShortestHeader) return ShortestHeader - Size;
    return LineWanted();
  }
  if (Size < V2FixedLength) return V2FixedLength - Size;
  return V2FixedLength + ReadU16(FBytes, 14) - Size;
}

// The shortest rest that can complete the line: the fields not begun yet at their shortest, the
// field being read counted as possibly complete once it is as long as its shortest text, and
// CR LF. Called with the protocol field complete (15 bytes and more).
size_t TIdProxyHeaderReader::LineWanted() const {
  const std::string_view Line = std::string_view(FBytes).substr(V1Prefix.size());
  size_t Rest = 2;
  if (Line.back() == '\r') {
    Rest = 1;
  } else if (Line.substr(0, 7) != "UNKNOWN") {
    const auto& Shortest = Line[3] == '6' ? V1ShortestTCP6 : V1ShortestTCP4;
    const std::vector<std::string_view> Fields = SplitFields(Line.substr(5));
    const size_t Current = Fields.size() - 1;
    if (Fields[Current].size() < Shortest[Current])
      Rest += Shortest[Current] - Fields[Current].size();
    for (size_t I = Current + 1; I < V1FieldCount; ++I)
      Rest += 1 + Shortest[I];
  }
  return std::min(Rest, MaxLineLength - FBytes.size());
}

size_t TIdProxyHeaderReader::Feed(std::string_view ABytes) {
  if (FFailure) std::rethrow_exception(FFailure);
  const size_t Taken = std::min(ABytes.size(), Wanted());
  if (Taken == 0) return 0;
  FBytes.append(ABytes.substr(0, Taken));
  try {
    Check();
  } catch (...) {
    FFailure = std::current_exception();
    throw;
  }
  return Taken;
}

void TIdProxyHeaderReader::Check() {
  CheckPrefix();
  if (FBytes[0] != '\r') {
    if (FBytes.size() <= V1Prefix.size()) return;
    CheckLine();
    if (FBytes.compare(FBytes.size() - 2, 2, "\r\n") == 0)
      ParseLine();
    else if (FBytes.size() == MaxLineLength)
      throw MakeProxyHeaderTooLong(static_cast<int32_t>(MaxLineLength));
  } else if (FBytes.size() >= V2FixedLength) {
    CheckFixedPart();
    if (Wanted() == 0) ParseBlock();
  }
}

// The bytes so far begin one of the two signatures.
void TIdProxyHeaderReader::CheckPrefix() {
  const std::string_view Bytes(FBytes);
  const std::string_view Signature = Bytes[0] == '\r' ? V2Signature : V1Prefix;
  const size_t N = std::min(Bytes.size(), Signature.size());
  if (Bytes.substr(0, N) != Signature.substr(0, N)) throw EIdProxyHeaderMissing();
}

// What a version 1 line has so far may still become a valid line.
void TIdProxyHeaderReader::CheckLine() {
  const std::string_view Line = std::string_view(FBytes).substr(V1Prefix.size());
  // CR LF ends the line: a CR must be followed by LF, and an LF must follow a CR. A line ended
  // before the reader wanted it to (the piece went on past it) has too few fields.
  const size_t CR = Line.find('\r');
  const size_t LF = Line.find('\n');
  if ((CR != Line.npos && CR + 1 < Line.size() && Line[CR + 1] != '\n') ||
      (LF != Line.npos && (CR == Line.npos || LF != CR + 1)))
    Fail(RS::RSProxyBadLineEnd);
  if (!V1ProtocolPossible(Line)) Fail(RS::RSProxyBadFields);
  if (Line.size() >= 5 && Line.substr(0, 3) == "TCP") {
    const char* Fault = V1FieldsFault(Line.substr(5, CR == Line.npos ? Line.npos : CR - 5),
                                      Line[3] == '6', CR != Line.npos);
    if (Fault) Fail(Fault);
  }
  if (CR != Line.npos && CR + 2 < Line.size()) Fail(RS::RSProxyBadLineEnd);
}

// A whole line that CheckLine let through: its fields are valid.
void TIdProxyHeaderReader::ParseLine() {
  const std::string_view Line =
      std::string_view(FBytes).substr(V1Prefix.size(), FBytes.size() - V1Prefix.size() - 2);
  FHeader.Version = 1;
  FComplete = true;
  if (Line.substr(0, 3) != "TCP") return; // UNKNOWN: the rest of the line means nothing
  const std::vector<std::string_view> Fields = SplitFields(Line.substr(5));
  if (Line[3] == '6') {
    FHeader.Family = TIdProxyFamily::pfIPv6;
    FHeader.SourceIP = IPv6Text(Fields[0]);
    FHeader.DestinationIP = IPv6Text(Fields[1]);
  } else {
    FHeader.Family = TIdProxyFamily::pfIPv4;
    FHeader.SourceIP = std::string(Fields[0]);
    FHeader.DestinationIP = std::string(Fields[1]);
  }
  FHeader.SourcePort = *ParsePort(Fields[2]);
  FHeader.DestinationPort = *ParsePort(Fields[3]);
}

// The version, command, family and length of a version 2 header.
void TIdProxyHeaderReader::CheckFixedPart() {
  const auto VersionCommand = static_cast<uint8_t>(FBytes[12]);
  const auto Family = static_cast<uint8_t>(FBytes[13]);
  if (VersionCommand >> 4 != 2) Fail(RS::RSProxyBadVersion);
  const uint8_t Command = VersionCommand & 0xF;
  if (Command != V2CommandLocal && Command != V2CommandProxy) Fail(RS::RSProxyBadCommand);
  const size_t Length = ReadU16(FBytes, 14);
  if (V2FixedLength + Length > FMaxLength)
    throw MakeProxyHeaderTooLong(static_cast<int32_t>(FMaxLength));
  if (Command == V2CommandLocal) return; // its block means nothing, whatever it holds
  if (Family >> 4 >= V2AddressLength.size() || (Family & 0xF) > 2) Fail(RS::RSProxyBadFamily);
  if (Length < V2AddressLength[Family >> 4]) Fail(RS::RSProxyBadLength);
}

void TIdProxyHeaderReader::ParseBlock() {
  FHeader.Version = 2;
  if ((static_cast<uint8_t>(FBytes[12]) & 0xF) == V2CommandLocal) {
    FHeader.Local = true;
  } else {
    const std::string_view Block = std::string_view(FBytes).substr(V2FixedLength);
    const size_t AddressLength = V2AddressLength[static_cast<uint8_t>(FBytes[13]) >> 4];
    ParseAddresses(Block.substr(0, AddressLength));
    ParseTLVs(Block.substr(AddressLength));
  }
  FComplete = true;
}

void TIdProxyHeaderReader::ParseAddresses(std::string_view ABlock) {
  if (ABlock.size() == 216) {
    FHeader.Family = TIdProxyFamily::pfUnix;
    FHeader.SourceIP = std::string(ABlock.substr(0, ABlock.find('\0')));
    FHeader.DestinationIP = std::string(ABlock.substr(108, ABlock.find('\0', 108) - 108));
    return;
  }
  if (ABlock.size() == 12) {
    FHeader.Family = TIdProxyFamily::pfIPv4;
    FHeader.SourceIP = IPv4Text(AddressAt<TIdIPv4Bytes>(ABlock, 0));
    FHeader.DestinationIP = IPv4Text(AddressAt<TIdIPv4Bytes>(ABlock, 4));
  } else if (ABlock.size() == 36) {
    FHeader.Family = TIdProxyFamily::pfIPv6;
    FHeader.SourceIP = TIdStack::IPv6AddressToText(AddressAt<TIdIPv6Bytes>(ABlock, 0));
    FHeader.DestinationIP = TIdStack::IPv6AddressToText(AddressAt<TIdIPv6Bytes>(ABlock, 16));
  } else {
    return; // AF_UNSPEC
  }
  FHeader.SourcePort = ReadU16(ABlock, ABlock.size() - 4);
  FHeader.DestinationPort = ReadU16(ABlock, ABlock.size() - 2);
}

// Type, 16-bit length and value, one after the other, filling AFields exactly. A CRC32C field
// holds the checksum of the whole header taken with its own value as zeros.
void TIdProxyHeaderReader::ParseTLVs(std::string_view AFields) {
  for (size_t At = 0; At < AFields.size();) {
    if (AFields.size() - At < 3 || AFields.size() - At - 3 < ReadU16(AFields, At + 1))
      Fail(RS::RSProxyBadTLV);
    TIdProxyTLV Field{static_cast<uint8_t>(AFields[At]),
                      std::string(AFields.substr(At + 3, ReadU16(AFields, At + 1)))};
    if (Field.Type == TLVCRC32C) {
      if (Field.Value.size() != 4) Fail(RS::RSProxyBadTLV);
      std::string Zeroed = FBytes;
      const size_t ValueAt = FBytes.size() - AFields.size() + At + 3;
      Zeroed.replace(ValueAt, 4, 4, '\0');
      const uint32_t Expected = uint32_t(ReadU16(Field.Value, 0)) << 16 | ReadU16(Field.Value, 2);
      if (CRC32C(Zeroed) != Expected) Fail(RS::RSProxyBadChecksum);
    }
    At += 3 + Field.Value.size();
    FHeader.TLVs.push_back(std::move(Field));
  }
}

void TIdProxyHeaderReader::Fail(const char* AReason) {
  throw MakeProxyHeaderMalformed(AReason);
}

TIdProxyHeader ReadProxyHeader(const TIdProxyReceive& AReceive, int32_t ATimeout,
                               size_t AMaxLength) {
  using namespace std::chrono;
  TIdProxyHeaderReader Reader(AMaxLength);
  const auto Deadline = steady_clock::now() + milliseconds(std::max(ATimeout, 0));
  char Buffer[512];
  while (!Reader.Complete()) {
    int32_t Left = TimeoutInfinite;
    if (ATimeout >= 0)
      Left = static_cast<int32_t>(std::clamp<int64_t>(
          duration_cast<milliseconds>(Deadline - steady_clock::now()).count(), 0, ATimeout));
    const auto Wanted = static_cast<int32_t>(std::min(Reader.Wanted(), sizeof(Buffer)));
    const std::optional<int32_t> Received = AReceive(Buffer, Wanted, Left);
    if (!Received) throw EIdProxyHeaderTimeout();
    if (*Received <= 0) {
      if (Reader.Taken() == 0) throw EIdConnClosedGracefully();
      throw EIdProxyHeaderTruncated();
    }
    Reader.Feed(std::string_view(Buffer, static_cast<size_t>(*Received)));
  }
  return Reader.Header();
}

TIdProxyHeader ReadProxyHeader(TIdIOHandler& ATransport, int32_t ATimeout, size_t AMaxLength) {
  const auto Receive = [&](void* ABuffer, int32_t ALength, int32_t AWait) {
    const std::optional<int32_t> Received = ATransport.ReceiveWhenReadable(ABuffer, ALength, AWait);
    if (Received && *Received < 0) GlobalStack()->CheckSocketResult(*Received);
    return Received;
  };
  return ReadProxyHeader(Receive, ATimeout, AMaxLength);
}

} // namespace Id
