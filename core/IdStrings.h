// SPDX-License-Identifier: MIT
// Splitting a text into fields that remember their column.
#pragma once

#include <string>

#include "idframework/runtime/Export.h"
#include "idframework/runtime/StringList.h"

namespace Id {

/// Fills AList with the untrimmed, non-empty fields of AText; each field's number is the 1-based
/// column where it starts. AList must exist (else EAssertionFailed naming IdStrings).
ID_API void SplitFields(const std::string& AText, TStringList* AList, const std::string& ADelim);
/// As SplitFields on the trimmed text, each field trimmed; columns count in the untrimmed text.
ID_API void SplitFieldsTrimmed(const std::string& AText, TStringList* AList,
                               const std::string& ADelim);

} // namespace Id
