// SPDX-License-Identifier: MIT
#include "idframework/runtime/StringList.h"

#include "idframework/runtime/SysUtils.h"

namespace Id {

TStringList::TStringList(std::initializer_list<std::string> ALines) {
  for (const auto& L : ALines)
    Add(L);
}

void TStringList::CheckIndex(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count())
    throw EListError(Format("List index out of bounds (%d)", {int64_t(AIndex)}));
}

const std::string& TStringList::Strings(int AIndex) const {
  CheckIndex(AIndex);
  return FLines[AIndex].Text;
}

void TStringList::SetStrings(int AIndex, std::string AValue) {
  CheckIndex(AIndex);
  FLines[AIndex].Text = std::move(AValue);
}

intptr_t TStringList::Objects(int AIndex) const {
  CheckIndex(AIndex);
  return FLines[AIndex].Object;
}

void TStringList::SetObjects(int AIndex, intptr_t AValue) {
  CheckIndex(AIndex);
  FLines[AIndex].Object = AValue;
}

int TStringList::AddObject(std::string S, intptr_t AObject) {
  FLines.push_back({std::move(S), AObject});
  return Count() - 1;
}

void TStringList::AddStrings(const TStringList& AOther) {
  FLines.insert(FLines.end(), AOther.FLines.begin(), AOther.FLines.end());
}

void TStringList::Insert(int AIndex, std::string S) {
  if (AIndex < 0 || AIndex > Count())
    throw EListError(Format("List index out of bounds (%d)", {int64_t(AIndex)}));
  FLines.insert(FLines.begin() + AIndex, TLine{std::move(S), 0});
}

void TStringList::Delete(int AIndex) {
  CheckIndex(AIndex);
  FLines.erase(FLines.begin() + AIndex);
}

int TStringList::IndexOf(const std::string& S) const {
  for (int I = 0; I < Count(); ++I)
    if (SameText(FLines[I].Text, S)) return I;
  return -1;
}

std::string TStringList::Text() const {
  std::string Result;
  for (const auto& L : FLines) {
    Result += L.Text;
    Result += "\r\n";
  }
  return Result;
}

void TStringList::SetText(const std::string& S) {
  FLines.clear();
  size_t Start = 0;
  while (Start < S.size()) {
    size_t Lf = S.find('\n', Start);
    size_t End = Lf == std::string::npos ? S.size() : Lf;
    size_t LineEnd = (End > Start && S[End - 1] == '\r') ? End - 1 : End;
    Add(S.substr(Start, LineEnd - Start));
    if (Lf == std::string::npos) break;
    Start = Lf + 1;
  }
}

} // namespace Id
