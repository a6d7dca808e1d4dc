// SPDX-License-Identifier: MIT
#include "idframework/tls/detail/IdTLSServerNames.h"

#include <utility>

#include "idframework/tls/IdTLSContext.h"

namespace Id::TLSDetail {

namespace {

std::string LowerCase(std::string AText) {
  for (char& C : AText)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
  return AText;
}

} // namespace

// The context given up is freed after the lock is let go.
void TServerNames::Set(const std::string& AName, std::shared_ptr<const TIdTLSContext> AContext) {
  const std::string Key = LowerCase(AName);
  TLockGuard<TMutex> Guard(FLock);
  if (AContext)
    FNames[Key].swap(AContext);
  else if (auto It = FNames.find(Key); It != FNames.end()) {
    It->second.swap(AContext);
    FNames.erase(It);
  }
}

void TServerNames::SetDefault(std::shared_ptr<const TIdTLSContext> AContext) {
  TLockGuard<TMutex> Guard(FLock);
  FDefault.swap(AContext);
}

std::shared_ptr<const TIdTLSContext> TServerNames::Find(const char* AName, bool& ANamed) const {
  const std::string Name = AName ? LowerCase(AName) : std::string();
  // "*.domain" for a name of one label more than the domain.
  const size_t Dot = Name.find('.');
  std::string Wildcard;
  if (Dot != std::string::npos && Dot > 0) Wildcard.append(1, '*').append(Name, Dot);
  TLockGuard<TMutex> Guard(FLock);
  ANamed = true;
  if (auto It = FNames.find(Name); !Name.empty() && It != FNames.end()) return It->second;
  if (auto It = FNames.find(Wildcard); !Wildcard.empty() && It != FNames.end()) return It->second;
  ANamed = false;
  return FDefault;
}

bool TServerNames::HasDefault() const {
  TLockGuard<TMutex> Guard(FLock);
  return FDefault != nullptr;
}

} // namespace Id::TLSDetail
