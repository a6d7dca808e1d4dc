// SPDX-License-Identifier: MIT
#include "idframework/tls/IdTLSSavedSession.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include "idframework/tls/detail/IdTLSPem.h"

namespace Id {

TIdTLSSavedSession::TIdTLSSavedSession(SSL_SESSION* ASession) {
  if (!ASession) return;
  SSL_SESSION_up_ref(ASession);
  FHandle.reset(ASession, SSL_SESSION_free);
}

TIdTLSSavedSession TIdTLSSavedSession::FromPem(const std::string& APem) {
  ERR_clear_error();
  TLSDetail::TBioPtr Bio = TLSDetail::MemoryBio(APem);
  SSL_SESSION* Session = PEM_read_bio_SSL_SESSION(Bio.get(), nullptr, nullptr, nullptr);
  if (!Session) TLSDetail::RaiseSetupError("saved session");
  TIdTLSSavedSession Result;
  Result.FHandle.reset(Session, SSL_SESSION_free);
  return Result;
}

bool TIdTLSSavedSession::Resumable() const {
  return FHandle && SSL_SESSION_is_resumable(FHandle.get()) == 1;
}

std::string TIdTLSSavedSession::ToPem() const {
  if (!FHandle) return std::string();
  TLSDetail::TBioPtr Bio = TLSDetail::NewMemoryBio();
  PEM_write_bio_SSL_SESSION(Bio.get(), FHandle.get());
  return TLSDetail::BioText(Bio.get());
}

} // namespace Id
