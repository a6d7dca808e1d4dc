// SPDX-License-Identifier: MIT
#include "idframework/tls/detail/IdTLSPem.h"

#include <openssl/bio.h>

#include "idframework/runtime/SysUtils.h"
#include "idframework/tls/IdTLSExceptions.h"
#include "idframework/tls/detail/IdTLSErrorText.h"

namespace Id::TLSDetail {

void TBioFree::operator()(BIO* ABio) const noexcept {
  BIO_free(ABio);
}

TBioPtr MemoryBio(const std::string& AText) {
  TBioPtr Bio(BIO_new_mem_buf(AText.data(), static_cast<int>(AText.size())));
  if (!Bio) RaiseSetupError("memory");
  return Bio;
}

TBioPtr NewMemoryBio() {
  TBioPtr Bio(BIO_new(BIO_s_mem()));
  if (!Bio) RaiseSetupError("memory");
  return Bio;
}

std::string BioText(BIO* ABio) {
  char* Data = nullptr;
  const long Length = BIO_get_mem_data(ABio, &Data);
  return Length > 0 ? std::string(Data, static_cast<size_t>(Length)) : std::string();
}

void RaiseSetupError(const std::string& AWhat) {
  throw EIdTLSSetupError(
      Format(RS::RSTLSSetupFailed, {AWhat + ": " + TakeTLSErrorText("refused")}));
}

void CheckSetup(int AResult, const std::string& AWhat) {
  if (AResult != 1) RaiseSetupError(AWhat);
}

} // namespace Id::TLSDetail
