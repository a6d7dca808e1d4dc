#include "server/IdRFCReply.h"

#include "runtime/SysUtils.h"

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
      Result += FText[I] + "\r\n";
    return Result;
  }
  const std::string Code = IntToStr(FNumericCode);
  if (FText.Count() == 0) return Code + "\r\n";
  for (int I = 0; I < FText.Count(); ++I) {
    const bool Last = I == FText.Count() - 1;
    Result += Code + (Last ? " " : "-") + FText[I] + "\r\n";
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

void TIdRFCReply::AssignTo(TCollectionItem& ADest) const {
  auto* Dest = dynamic_cast<TIdRFCReply*>(&ADest);
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
  if (const auto* Source = dynamic_cast<const TIdRFCReply*>(&ASource))
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
