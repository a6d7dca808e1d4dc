// SPDX-License-Identifier: MIT
// A list of byte strings, each with an associated number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "idframework/runtime/Export.h"

namespace Id {

/// Ordered strings with one associated integer ("object") per line.
class ID_API TStringList {
public:
  TStringList() = default;
  /// A list of ALines.
  TStringList(std::initializer_list<std::string> ALines);

  /// The number of lines.
  int Count() const noexcept { return static_cast<int>(FLines.size()); }
  /// Raises EListError "List index out of bounds (%d)" outside the list.
  const std::string& Strings(int AIndex) const;
  void SetStrings(int AIndex, std::string AValue);
  /// The value attached to the line at AIndex, and its setter; EListError outside the list.
  intptr_t Objects(int AIndex) const;
  void SetObjects(int AIndex, intptr_t AValue);
  const std::string& operator[](int AIndex) const { return Strings(AIndex); }

  /// Appends S and returns its index.
  int Add(std::string S) { return AddObject(std::move(S), 0); }
  /// Appends S with AObject attached and returns its index.
  int AddObject(std::string S, intptr_t AObject);
  /// Appends the lines of AOther.
  void AddStrings(const TStringList& AOther);
  /// Inserts S at AIndex (Count appends); EListError outside 0..Count.
  void Insert(int AIndex, std::string S);
  /// Removes the line at AIndex; EListError outside the list.
  void Delete(int AIndex);
  /// Removes every line.
  void Clear() { FLines.clear(); }
  /// Replaces the lines by copies of AOther's.
  void Assign(const TStringList& AOther) { FLines = AOther.FLines; }
  /// Case-insensitive search; -1 when absent.
  int IndexOf(const std::string& S) const;

  /// Every line followed by CR LF.
  std::string Text() const;
  /// Replaces the lines by those of S, split at LF with one CR before it dropped.
  void SetText(const std::string& S);

  /// The same lines and values, in the same order.
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
