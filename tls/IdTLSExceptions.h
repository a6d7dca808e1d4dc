// SPDX-License-Identifier: MIT
// The exceptions of the TLS library and their fixed texts: one line per class, its parent and its
// text. A text with %s is completed with OpenSSL's reason for the failure.
#pragma once

#include "idframework/core/IdException.h"

namespace Id {

namespace RS {
inline constexpr const char* RSTLSSetupFailed = "TLS set-up failed: %s";
inline constexpr const char* RSTLSHandshakeFailed = "TLS handshake failed: %s";
inline constexpr const char* RSTLSHandshakeTimeout = "TLS handshake timed out.";
inline constexpr const char* RSTLSCertificateRejected = "TLS peer certificate rejected: %s";
inline constexpr const char* RSTLSFailed = "TLS error: %s";
inline constexpr const char* RSTLSUnexpectedEOF = "Connection closed without TLS close_notify: %s";
inline constexpr const char* RSTLSPeerClosedInHandshake = "connection closed by the peer";
inline constexpr const char* RSTLSUnreadPlainInput =
    "TLS start refused: %d bytes of plain input arrived before the switch.";
inline constexpr const char* RSTLSAlreadyOn = "TLS start refused: TLS is already on.";
inline constexpr const char* RSTLSNotATLSTransport =
    "TLS start refused: the connection's transport is not a TLS transport.";
inline constexpr const char* RSTLSNoHostName =
    "TLS start refused: no host name to check the server's certificate against.";
inline constexpr const char* RSTLSNoCertificate =
    "The TLS server has no certificate and private key.";
inline constexpr const char* RSTLSClientRoleOnly = "%s is a setting of the client side.";
inline constexpr const char* RSTLSServerRoleOnly = "%s is a setting of the server side.";
} // namespace RS

#define ID_TLS_EXCEPTION(Name, Parent, Text)                                                       \
  class ID_API Name : public Parent {                                                              \
  public:                                                                                          \
    explicit Name(std::string AMessage = Text) : Parent(std::move(AMessage)) {}                    \
  }

ID_TLS_EXCEPTION(EIdTLSError, EIdException, "");
/// A certificate, key, trust file or setting that OpenSSL refused.
ID_TLS_EXCEPTION(EIdTLSSetupError, EIdTLSError, "");
ID_TLS_EXCEPTION(EIdTLSHandshakeError, EIdTLSError, "");
/// The peer's certificate failed verification (unknown issuer, expired, wrong host name), or a
/// required client certificate was not sent.
ID_TLS_EXCEPTION(EIdTLSCertificateError, EIdTLSHandshakeError, "");
ID_TLS_EXCEPTION(EIdTLSHandshakeTimeout, EIdTLSHandshakeError, RS::RSTLSHandshakeTimeout);
/// A failure of the established session (bad record, alert from the peer).
ID_TLS_EXCEPTION(EIdTLSProtocolError, EIdTLSError, "");
/// The peer closed the TCP connection without ending the TLS session: what was received may
/// be cut short. A closed connection all the same, so a peer thread ends quietly.
ID_TLS_EXCEPTION(EIdTLSUnexpectedEOF, EIdConnClosedGracefully, "");
/// StartTLS could not switch the connection.
ID_TLS_EXCEPTION(EIdTLSStartRefused, EIdTLSError, "");

#undef ID_TLS_EXCEPTION

} // namespace Id
