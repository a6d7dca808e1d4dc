// A list of byte strings, each with an associated number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Id {

/// Ordered strings with one associated integer ("object") per line.
class TStringList {
public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> ALines);

  int Count() const noexcept { return static_cast<int>(FLines.size()); }
  /// Raises EListError "List index out of bounds (%d)" outside the list.
  const std::string& Strings(int AIndex) const;
  void SetStrings(int AIndex, std::string AValue);
  intptr_t Objects(int AIndex) const;
  void SetObjects(int AIndex, intptr_t AValue);
  const std::string& operator[](int AIndex) const { return Strings(AIndex); }

  int Add(std::string S) { return AddObject(std::move(S), 0); }
  int AddObject(std::string S, intptr_t AObject);
  void AddStrings(const TStringList& AOther);
  void Insert(int AIndex, std::string S);
  void Delete(int AIndex);
  void Clear() { FLines.clear(); }
  void Assign(const TStringList& AOther) { FLines = AOther.FLines; }
  /// Case-insensitive search; -1 when absent.
  int IndexOf(const std::string& S) const;

  /// Every line followed by CR LF.
  std::string Text() const;
  /// Replaces the lines by those of S, split at LF with one CR before it dropped.
  void SetText(const std::string& S);

  bool operator==(const TStringList& AOther) const { return FLines == AOther.FLines; }

private:
  struct TLine {
    std::string Text;
    intptr_t Object = 0;
    bool operator==(const TLine&) const = default;
  };
  void CheckIndex(int AIndex) const;
  std::vector<TLine> FLines;
};

} // namespace Id
