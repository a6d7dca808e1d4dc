// SPDX-License-Identifier: MIT
// Fuzz target: SplitFields and SplitFieldsTrimmed against a plain model of their rules: fields
// between delimiters, empty ones dropped (trimmed: a field of blanks kept as ""), each numbered
// with the 1-based column where it starts in the text given.
//
// Input: one byte for the delimiter's length (0 to 3), the delimiter, then the text.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "idframework/core/IdStrings.h"
#include "idframework/runtime/StringList.h"

namespace {

using namespace Id;
using IdFuzz::Check;

struct TField {
  std::string Text;
  intptr_t Column;
};

bool IsBlank(char C) {
  return static_cast<unsigned char>(C) <= 32;
}

std::string TrimBlanks(const std::string& S) {
  size_t B = 0, E = S.size();
  while (B < E && IsBlank(S[B]))
    ++B;
  while (E > B && IsBlank(S[E - 1]))
    --E;
  return S.substr(B, E - B);
}

std::vector<TField> ModelSplit(const std::string& AText, const std::string& ADelim, bool ATrim) {
  std::vector<TField> Fields;
  size_t Lead = 0;
  std::string T = AText;
  if (ATrim) {
    while (Lead < AText.size() && IsBlank(AText[Lead]))
      ++Lead;
    T = TrimBlanks(AText);
    if (T.empty()) return Fields;
  }
  size_t Left = 0;
  for (;;) {
    const size_t P = ADelim.empty() ? std::string::npos : T.find(ADelim, Left);
    const std::string Field = T.substr(Left, P == std::string::npos ? std::string::npos : P - Left);
    if (!Field.empty())
      Fields.push_back({ATrim ? TrimBlanks(Field) : Field, intptr_t(Left + 1 + Lead)});
    if (P == std::string::npos) break;
    Left = P + ADelim.size();
  }
  return Fields;
}

void Compare(const TStringList& AList, const std::vector<TField>& AModel, const char* AWhat) {
  Check(AList.Count() == int(AModel.size()), AWhat);
  for (size_t I = 0; I < AModel.size(); ++I) {
    Check(AList[int(I)] == AModel[I].Text, AWhat);
    Check(AList.Objects(int(I)) == AModel[I].Column, AWhat);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  IdFuzz::TFuzzInput Input(AData, ASize);
  const std::string Delim = Input.Take(Input.Byte() % 4);
  const std::string Text = Input.Rest();

  TStringList List;
  List.Add("stale");
  SplitFields(Text, &List, Delim);
  Compare(List, ModelSplit(Text, Delim, false), "SplitFields differs from its rule");
  SplitFieldsTrimmed(Text, &List, Delim);
  Compare(List, ModelSplit(Text, Delim, true), "SplitFieldsTrimmed differs from its rule");
  return 0;
}
