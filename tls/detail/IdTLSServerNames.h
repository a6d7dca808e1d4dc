// SPDX-License-Identifier: MIT
// Plumbing of the TLS library, not for users: a server context's certificates by server name.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "idframework/runtime/CriticalSection.h"

namespace Id {
class TIdTLSContext;
}

namespace Id::TLSDetail {

/// Where a server's handshakes take their certificate, chain and key from: a context per
/// server name (exact, or "*.domain" for one label before the domain; without regard to case),
/// and the one that replaces the server's own for every other client. Changed and read on any
/// thread; a handshake takes its source under the lock and uses it after.
class TServerNames {
public:
  /// AName's source; nullptr removes the name.
  void Set(const std::string& AName, std::shared_ptr<const TIdTLSContext> AContext);
  /// The replacement for every name without its own; nullptr: the server's own again.
  void SetDefault(std::shared_ptr<const TIdTLSContext> AContext);
  /// The source for AName (nullptr: no name): its own, a wildcard's, else the replacement;
  /// ANamed tells whether a name of the list matched. nullptr when none applies.
  std::shared_ptr<const TIdTLSContext> Find(const char* AName, bool& ANamed) const;
  /// True once a replacement is set.
  bool HasDefault() const;

private:
  mutable TMutex FLock;
  std::map<std::string, std::shared_ptr<const TIdTLSContext>> FNames ID_GUARDED_BY(FLock);
  std::shared_ptr<const TIdTLSContext> FDefault ID_GUARDED_BY(FLock);
};

} // namespace Id::TLSDetail
