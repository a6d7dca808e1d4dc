// SPDX-License-Identifier: MIT
// Fuzz target: arbitrary bytes in front of a connection, read as a PROXY protocol header in
// pieces of sizes the fuzzer picks and again in the largest pieces the reader takes. Both reads
// must end alike (the same header from the same bytes, or an error of the same class of the
// protocol's branch of the tree: which fault a piece shows first may differ), never
// take a byte the reader did not want, stop exactly at the header's end, and give address texts
// in their canonical forms.
//
// Input layout: a piece schedule (FuzzSupport's TChunkSchedule), then the bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <typeinfo>

#include "fuzz/FuzzSupport.h"
#include "idframework/core/IdException.h"
#include "idframework/net/IdStack.h"
#include "idframework/server/IdProxyProtocol.h"

namespace {

using namespace Id;
using IdFuzz::Check;

struct TOutcome {
  std::string Error;
  size_t Taken = 0;
  TIdProxyHeader Header;
};

TOutcome ReadInPieces(const std::string& ABytes, IdFuzz::TChunkSchedule ASchedule) {
  TOutcome Outcome;
  TIdProxyHeaderReader Reader(1024);
  try {
    while (!Reader.Complete() && Outcome.Taken < ABytes.size()) {
      const size_t Wanted = Reader.Wanted();
      Check(Wanted > 0, "an incomplete reader wants nothing");
      const size_t Taken = Reader.Feed(ABytes.substr(Outcome.Taken, ASchedule.Next()));
      Check(Taken > 0 && Taken <= Wanted, "a piece taken beyond what was wanted");
      Outcome.Taken += Taken;
    }
  } catch (const EIdProxyProtocolError& E) {
    Outcome.Error = typeid(E).name();
  }
  if (Reader.Complete()) Outcome.Header = Reader.Header();
  return Outcome;
}

// Each part of a dotted IPv4 text written again without leading zeros.
std::string IPv4Rewritten(const std::string& AText) {
  std::string Text;
  for (size_t Start = 0, Part = 0; Part < 4; ++Part) {
    const size_t Dot = AText.find('.', Start);
    Text += (Part > 0 ? "." : "") + std::to_string(std::stoi(AText.substr(Start, Dot - Start)));
    Start = Dot + 1;
  }
  return Text;
}

// IPv6 as the stack writes it for a peer.
std::string IPv6Rewritten(const std::string& AText) {
  TIdIPv6Bytes Address;
  std::string Scope;
  TIdStack::ParseIPv6AddressText(AText, Address, Scope);
  return TIdStack::IPv6AddressToText(Address);
}

void CheckCanonical(const TIdProxyHeader& AHeader) {
  for (const std::string* IP : {&AHeader.SourceIP, &AHeader.DestinationIP}) {
    if (AHeader.Family == TIdProxyFamily::pfIPv4)
      Check(TIdStack::IsIPAddressText(*IP) && IPv4Rewritten(*IP) == *IP,
            "an IPv4 text not canonical");
    if (AHeader.Family == TIdProxyFamily::pfIPv6)
      Check(IPv6Rewritten(*IP) == *IP, "an IPv6 text not canonical");
  }
}

void CheckHeaderEnd(const std::string& ABytes, const TOutcome& AOutcome) {
  const std::string Header = ABytes.substr(0, AOutcome.Taken);
  if (AOutcome.Header.Version == 1) {
    Check(Header.size() <= TIdProxyHeaderReader::MaxLineLength, "a version 1 line too long");
    Check(Header.find("\r\n") == Header.size() - 2, "a version 1 line not ended at its CR LF");
  } else {
    Check(AOutcome.Header.Version == 2, "a header of no version");
    const size_t Length = static_cast<uint8_t>(Header[14]) << 8 | static_cast<uint8_t>(Header[15]);
    Check(Header.size() == 16 + Length, "a version 2 header not ended at its length");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, std::size_t ASize) {
  IdFuzz::TFuzzInput Input(AData, ASize);
  const IdFuzz::TChunkSchedule Schedule = IdFuzz::TChunkSchedule::Read(Input);
  const std::string Bytes = Input.Rest();
  const TOutcome Pieces = ReadInPieces(Bytes, Schedule);
  const TOutcome Whole = ReadInPieces(Bytes, IdFuzz::TChunkSchedule());
  Check(Pieces.Error == Whole.Error, "pieces and the whole ended differently");
  if (!Pieces.Error.empty() || Pieces.Header.Version == 0) return 0; // an error, or cut short
  Check(Pieces.Taken == Whole.Taken, "pieces and the whole took different counts");
  Check(Pieces.Header.SourceIP == Whole.Header.SourceIP &&
            Pieces.Header.DestinationPort == Whole.Header.DestinationPort &&
            Pieces.Header.TLVs.size() == Whole.Header.TLVs.size(),
        "pieces and the whole read different headers");
  CheckHeaderEnd(Bytes, Pieces);
  CheckCanonical(Pieces.Header);
  return 0;
}
