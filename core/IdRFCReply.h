// SPDX-License-Identifier: MIT
// Numbered protocol replies: a numeric code plus text lines, their wire form, and a table of
// reply texts looked up by code.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "idframework/runtime/Collection.h"
#include "idframework/runtime/Export.h"
#include "idframework/runtime/StringList.h"

namespace Id {

/// One protocol reply. Stands alone (no collection) or is an item of a TIdRFCReplies table.
/// Not locked: replies shared between threads are only read, except for UpdateReplyText.
class ID_API TIdRFCReply : public TCollectionItem {
public:
  /// An empty reply (code 0, no lines), on its own or as an item of ACollection.
  explicit TIdRFCReply(TCollection* ACollection = nullptr);

  /// Code 0, no text lines, empty TextCode.
  void ResetReply();

  /// The reply code; 0 means no code. Setting a value above 0 also sets TextCode to its decimal
  /// text; 0 or below leaves TextCode as it was.
  int32_t NumericCode() const noexcept { return FNumericCode; }
  void SetNumericCode(int32_t AValue);
  /// The reply lines, without codes and without line ends. Owned by the reply.
  const TStringList& Text() const noexcept { return FText; }
  TStringList& Text() noexcept { return FText; }
  void SetText(const TStringList& AValue) { FText.Assign(AValue); }
  /// The code as text, as last set or parsed. Setting a non-empty text sets NumericCode to the
  /// integer it denotes, or 0 when it is not one; an empty text leaves NumericCode alone.
  const std::string& TextCode() const noexcept { return FTextCode; }
  void SetTextCode(const std::string& AValue);

  /// Sets the code (TextCode unchanged) and the lines of AText, which end at CR LF, LF or CR.
  void SetCodeAndText(int32_t ACode, const std::string& AText);
  /// True when the code is above 0 or there is at least one line: only then is it sent.
  bool HasContent() const noexcept;
  /// The wire text, every line ending in CR LF: "250-first", "250 second"; only the lines for
  /// a code of 0 or below; the code alone for a reply without lines; "" for an empty reply.
  std::string FormatReply() const;
  /// Fills the reply from the received lines of one reply. Never raises, whatever the bytes.
  void ParseReplyLines(const TStringList& ALines);
  /// Reads the lines of one reply, each from ANextLine, and parses them: one line, or from a
  /// first line "nnn-" on up to the line that starts with "nnn " (ignoring case) or is shorter
  /// than four characters. Raises what ANextLine raises.
  void ReadReplyLines(const std::function<std::string()>& ANextLine);

  /// Copies code, lines and TextCode into a TIdRFCReply (exactly, whatever the setters would
  /// make of them); any other destination raises the platform's assignment error.
  virtual void AssignTo(TCollectionItem& ADest) const;
  /// ASource's AssignTo onto this reply.
  void Assign(const TCollectionItem& ASource) override;

private:
  int32_t FNumericCode = 0;
  TStringList FText;
  std::string FTextCode;
};

/// A table of reply texts keyed by code; owned by a component (the server's ReplyTexts).
class ID_API TIdRFCReplies : public TOwnedCollectionOf<TIdRFCReply> {
public:
  /// An empty table owned by AOwner.
  explicit TIdRFCReplies(TComponent* AOwner) : TOwnedCollectionOf<TIdRFCReply>(AOwner) {}

  /// The first item, in index order, whose NumericCode is ACode; nullptr if there is none.
  TIdRFCReply* FindByCode(int32_t ACode) const;
  /// Gives AReply the lines of the table item with its code, when AReply has no lines yet.
  /// AReply's code never changes, and lines it already has always win.
  void UpdateReplyText(TIdRFCReply& AReply) const;
};

} // namespace Id
