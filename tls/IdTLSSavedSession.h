// SPDX-License-Identifier: MIT
// What a client keeps of a TLS session to resume it on a later connection.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <string>

#include "idframework/runtime/Export.h"

// As <openssl/ssl.h> declares it.
typedef struct ssl_session_st SSL_SESSION;

namespace Id {

/// A client's TLS session (TLS 1.2 session or TLS 1.3 ticket) kept to be offered again: a server
/// that still knows it resumes it with a short handshake, one that does not runs a full one.
/// Offer it only to the server it came from. It holds the session's secret: keep its PEM form
/// as secret as a private key.
///
/// Threads: distinct objects safe, shared objects safe (copies share the session, which is only
/// read).
///
/// \see The guide: \ref guide-tls-resumption.
class ID_API TIdTLSSavedSession {
public:
  /// No session.
  TIdTLSSavedSession() noexcept = default;
  /// Takes a reference of its own on ASession (none when nullptr).
  explicit TIdTLSSavedSession(SSL_SESSION* ASession);
  /// A session in PEM form ("-----BEGIN SSL SESSION PARAMETERS-----", as `openssl s_client
  /// -sess_out` writes it); raises EIdTLSSetupError when the text holds none.
  static TIdTLSSavedSession FromPem(const std::string& APem);

  /// True when it holds no session.
  bool Empty() const noexcept { return !FHandle; }
  /// True when a server can resume it: a TLS 1.3 session becomes resumable only once the
  /// server's ticket arrived, which comes after the handshake, with the first data read.
  bool Resumable() const;
  /// The PEM form, as `openssl s_client -sess_in` reads it; empty when it holds none.
  std::string ToPem() const;
  /// The OpenSSL session, shared by the copies; nullptr when empty.
  SSL_SESSION* Handle() const noexcept { return FHandle.get(); }

private:
  std::shared_ptr<SSL_SESSION> FHandle; // freed with SSL_SESSION_free by the last copy
};

} // namespace Id
