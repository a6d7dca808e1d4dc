// SPDX-License-Identifier: MIT
#include "idframework/core/IdStrings.h"

#include "idframework/core/IdGlobal.h"
#include "idframework/runtime/SysUtils.h"

namespace Id {

namespace {

void AssertList(const TStringList* AList) {
  if (!AList) throw EAssertionFailed("Assertion failure (IdStrings)");
}

bool IsBlank(char C) {
  return static_cast<unsigned char>(C) <= 32;
}

// Splits AText; AColumnShift is added to every column, ATrim trims each non-empty field.
void Split(const std::string& AText, TStringList& AList, const std::string& ADelim, bool ATrim,
           int32_t AColumnShift) {
  auto AddField = [&](const std::string& AField, int32_t ALeft) {
    AList.AddObject(ATrim ? Trim(AField) : AField, ALeft + AColumnShift);
  };
  int32_t Left = 1;
  int32_t P = BytePos(ADelim, AText);
  while (P > 0) {
    const std::string Field =
        AText.substr(static_cast<size_t>(Left) - 1, static_cast<size_t>(P - Left));
    if (!Field.empty()) AddField(Field, Left);
    Left = P + static_cast<int32_t>(ADelim.size());
    P = PosFrom(ADelim, AText, Left);
  }
  if (static_cast<int32_t>(AText.size()) >= Left)
    AddField(AText.substr(static_cast<size_t>(Left) - 1), Left);
}

} // namespace

void SplitFields(const std::string& AText, TStringList* AList, const std::string& ADelim) {
  AssertList(AList);
  AList->Clear();
  Split(AText, *AList, ADelim, false, 0);
}

void SplitFieldsTrimmed(const std::string& AText, TStringList* AList, const std::string& ADelim) {
  AssertList(AList);
  AList->Clear();
  size_t Lead = 0;
  while (Lead < AText.size() && IsBlank(AText[Lead]))
    ++Lead;
  const std::string T = Trim(AText);
  if (T.empty()) return;
  Split(T, *AList, ADelim, true, static_cast<int32_t>(Lead));
}

} // namespace Id
