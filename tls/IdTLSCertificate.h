// SPDX-License-Identifier: MIT
// One X.509 certificate as the TLS library hands it out: the peer's after a handshake, with its
// encodings, its SHA-256 fingerprint, its subject and its alternative names.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <string>
#include <vector>

#include "idframework/runtime/Export.h"

namespace Id {

/// An X.509 certificate, or none (Empty). Copies share the certificate, which never changes.
///
/// Threads: distinct objects safe, shared objects safe (every member only reads).
class ID_API TIdTLSCertificate {
public:
  /// No certificate.
  TIdTLSCertificate() noexcept = default;
  /// Takes a reference of its own on ACertificate (none when nullptr).
  explicit TIdTLSCertificate(X509* ACertificate);
  /// The first certificate of PEM text, or of its DER encoding; raises EIdTLSSetupError when
  /// there is none.
  static TIdTLSCertificate FromPem(const std::string& APem);
  static TIdTLSCertificate FromDer(const std::string& ADer);

  /// True when it holds no certificate; every text below is then empty.
  bool Empty() const noexcept { return !FHandle; }
  /// The certificate as PEM text ("-----BEGIN CERTIFICATE-----" ...) and as DER bytes.
  std::string Pem() const;
  std::string Der() const;
  /// The SHA-256 digest of the DER bytes as upper-case hex pairs joined by ':', the form of
  /// `openssl x509 -fingerprint -sha256`.
  std::string Fingerprint() const;
  /// The subject and the issuer in one line ("/CN=localhost").
  std::string Subject() const;
  std::string Issuer() const;
  /// The subject's alternative names, in their order: "DNS:name", "IP:address" (IPv4 dotted,
  /// IPv6 in the recommended form of RFC 5952), "email:address", "URI:text"; other kinds are left
  /// out.
  std::vector<std::string> AlternativeNames() const;
  /// The OpenSSL certificate, shared by the copies; nullptr when empty.
  X509* Handle() const noexcept { return FHandle.get(); }

private:
  std::shared_ptr<X509> FHandle; // freed with X509_free by the last copy
};

/// The certificates of a chain (the peer's own first) as PEM texts one after the other.
ID_API std::string ChainToPem(const std::vector<TIdTLSCertificate>& AChain);

} // namespace Id
