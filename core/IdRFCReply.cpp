// SPDX-License-Identifier: MIT
#include "idframework/core/IdRFCReply.h"

#include <charconv>
#include <string_view>
#include <typeinfo>

#include "idframework/runtime/SysUtils.h"

namespace Id {

namespace {

// Lines end at CR LF, at LF or at CR; a line end at the very end adds no empty line.
void SplitLines(const std::string& AText, TStringList& ALines) {
  ALines.Clear();
  size_t Start = 0;
  for (size_t I = 0; I < AText.size(); ++I) {
    const char C = AText[I];
    if (C != '\r' && C != '\n') continue;
    ALines.Add(AText.substr(Start, I - Start));
    if (C == '\r' && I + 1 < AText.size() && AText[I + 1] == '\n') ++I;
    Start = I + 1;
  }
  if (Start < AText.size()) ALines.Add(AText.substr(Start));
}

// Replies are nearly always of this very class: then no search of the class hierarchy is needed.
template <class TReply, class TItem> TReply* AsReply(TItem& AItem) {
  if (typeid(AItem) == typeid(TIdRFCReply)) return static_cast<TReply*>(&AItem);
  return dynamic_cast<TReply*>(&AItem);
}

std::string CodeOfFirstLine(const std::string& ALine) {
  std::string Code = Trim(ALine.substr(0, 4));
  if (Code.size() == 4 && Code[3] == '-') Code.resize(3);
  return Code;
}

} // namespace

TIdRFCReply::TIdRFCReply(TCollection* ACollection) : TCollectionItem(ACollection) {
  ResetReply();
}

void TIdRFCReply::ResetReply() {
  FNumericCode = 0;
  FText.Clear();
  FTextCode.clear();
}

void TIdRFCReply::SetNumericCode(int32_t AValue) {
  FNumericCode = AValue;
  if (AValue > 0) FTextCode = IntToStr(AValue);
}

void TIdRFCReply::SetTextCode(const std::string& AValue) {
  FTextCode = AValue;
  if (!AValue.empty()) FNumericCode = StrToIntDef(AValue, 0);
}

void TIdRFCReply::SetCodeAndText(int32_t ACode, const std::string& AText) {
  FNumericCode = ACode;
  SplitLines(AText, FText);
}

bool TIdRFCReply::HasContent() const noexcept {
  return FNumericCode > 0 || FText.Count() > 0;
}

std::string TIdRFCReply::FormatReply() const {
  std::string Result;
  if (FNumericCode <= 0) {
    for (int I = 0; I < FText.Count(); ++I)
      Result.append(FText[I]).append("\r\n");
    return Result;
  }
  char CodeText[16];
  const char* CodeEnd = std::to_chars(CodeText, CodeText + sizeof(CodeText), FNumericCode).ptr;
  const std::string_view Code(CodeText, static_cast<size_t>(CodeEnd - CodeText));
  if (FText.Count() == 0) {
    Result.append(Code).append("\r\n");
    return Result;
  }
  for (int I = 0; I < FText.Count(); ++I) {
    const bool Last = I == FText.Count() - 1;
    Result.append(Code).append(1, Last ? ' ' : '-').append(FText[I]).append("\r\n");
  }
  return Result;
}

void TIdRFCReply::ParseReplyLines(const TStringList& ALines) {
  ResetReply();
  if (ALines.Count() == 0) return;
  SetTextCode(CodeOfFirstLine(ALines[0]));
  for (int I = 0; I < ALines.Count(); ++I) {
    const std::string& Line = ALines[I];
    FText.Add(Line.size() > 4 ? Line.substr(4) : std::string());
  }
}

void TIdRFCReply::ReadReplyLines(const std::function<std::string()>& ANextLine) {
  TStringList Lines;
  const std::string First = ANextLine();
  Lines.Add(First);
  if (First.size() > 3 && First[3] == '-') {
    const std::string EndMarker = First.substr(0, 3) + " ";
    for (;;) {
      const std::string Line = ANextLine();
      Lines.Add(Line);
      if (Line.size() < 4 || SameText(Line.substr(0, 4), EndMarker)) break;
    }
  }
  ParseReplyLines(Lines);
}

void TIdRFCReply::AssignTo(TCollectionItem& ADest) const {
  auto* Dest = AsReply<TIdRFCReply>(ADest);
  if (!Dest) {
    ADest.TCollectionItem::Assign(*this);
    return;
  }
  if (Dest == this) return;
  Dest->ResetReply();
  Dest->FNumericCode = FNumericCode;
  Dest->FText.Assign(FText);
  // Copied as a field: through its setter a stale TextCode would overwrite the code just copied.
  Dest->FTextCode = FTextCode;
}

void TIdRFCReply::Assign(const TCollectionItem& ASource) {
  if (const auto* Source = AsReply<const TIdRFCReply>(ASource))
    Source->AssignTo(*this);
  else
    TCollectionItem::Assign(ASource);
}

TIdRFCReply* TIdRFCReplies::FindByCode(int32_t ACode) const {
  for (int I = 0; I < Count(); ++I)
    if (Items(I)->NumericCode() == ACode) return Items(I);
  return nullptr;
}

void TIdRFCReplies::UpdateReplyText(TIdRFCReply& AReply) const {
  if (AReply.Text().Count() > 0) return;
  if (const TIdRFCReply* Found = FindByCode(AReply.NumericCode())) AReply.SetText(Found->Text());
}

} // namespace Id
