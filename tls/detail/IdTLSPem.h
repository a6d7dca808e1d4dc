// SPDX-License-Identifier: MIT
// Plumbing of the TLS library, not for users: memory BIOs over text, and the one way a set-up
// failure is raised with OpenSSL's reason.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <string>

namespace Id::TLSDetail {

struct TBioFree {
  void operator()(BIO* ABio) const noexcept;
};
/// An owned BIO.
using TBioPtr = std::unique_ptr<BIO, TBioFree>;

/// A read-only BIO over AText, which must outlive it; raises EIdTLSSetupError.
TBioPtr MemoryBio(const std::string& AText);
/// An empty, writable memory BIO; raises EIdTLSSetupError.
TBioPtr NewMemoryBio();
/// Everything written into a memory BIO.
std::string BioText(BIO* ABio);

/// Raises EIdTLSSetupError for AWhat with the reasons in OpenSSL's error queue (emptied).
[[noreturn]] void RaiseSetupError(const std::string& AWhat);
/// Raises as RaiseSetupError unless AResult is 1.
void CheckSetup(int AResult, const std::string& AWhat);

} // namespace Id::TLSDetail
