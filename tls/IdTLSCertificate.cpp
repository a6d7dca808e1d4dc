// SPDX-License-Identifier: MIT
#include "idframework/tls/IdTLSCertificate.h"

#include <algorithm>
#include <string>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "idframework/net/IdStack.h"
#include "idframework/tls/detail/IdTLSPem.h"

namespace Id {

namespace {

std::string NameLine(const X509_NAME* AName) {
  char* Line = X509_NAME_oneline(AName, nullptr, 0);
  if (!Line) return std::string();
  std::string Text(Line);
  OPENSSL_free(Line);
  return Text;
}

std::string Ia5Text(const ASN1_IA5STRING* AText) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(AText)),
                     static_cast<size_t>(ASN1_STRING_length(AText)));
}

// "IP:" and the address: dotted for IPv4, the recommended IPv6 form (RFC 5952) for IPv6.
std::string AddressText(const ASN1_OCTET_STRING* AAddress) {
  const unsigned char* Bytes = ASN1_STRING_get0_data(AAddress);
  const int Length = ASN1_STRING_length(AAddress);
  if (Length == 4)
    return "IP:" + std::to_string(Bytes[0]) + "." + std::to_string(Bytes[1]) + "." +
           std::to_string(Bytes[2]) + "." + std::to_string(Bytes[3]);
  if (Length == 16) {
    TIdIPv6Bytes Address;
    std::copy(Bytes, Bytes + 16, Address.begin());
    return "IP:" + TIdStack::IPv6AddressToText(Address);
  }
  return "IP:";
}

std::string NameText(GENERAL_NAME* AName) {
  switch (AName->type) {
  case GEN_DNS:
    return "DNS:" + Ia5Text(AName->d.dNSName);
  case GEN_EMAIL:
    return "email:" + Ia5Text(AName->d.rfc822Name);
  case GEN_URI:
    return "URI:" + Ia5Text(AName->d.uniformResourceIdentifier);
  case GEN_IPADD:
    return AddressText(AName->d.iPAddress);
  default:
    return std::string();
  }
}

} // namespace

TIdTLSCertificate::TIdTLSCertificate(X509* ACertificate) {
  if (!ACertificate) return;
  X509_up_ref(ACertificate);
  FHandle.reset(ACertificate, X509_free);
}

TIdTLSCertificate TIdTLSCertificate::FromPem(const std::string& APem) {
  ERR_clear_error();
  TLSDetail::TBioPtr Bio = TLSDetail::MemoryBio(APem);
  X509* Certificate = PEM_read_bio_X509(Bio.get(), nullptr, nullptr, nullptr);
  if (!Certificate) TLSDetail::RaiseSetupError("certificate");
  TIdTLSCertificate Result;
  Result.FHandle.reset(Certificate, X509_free);
  return Result;
}

TIdTLSCertificate TIdTLSCertificate::FromDer(const std::string& ADer) {
  ERR_clear_error();
  const auto* Bytes = reinterpret_cast<const unsigned char*>(ADer.data());
  X509* Certificate = d2i_X509(nullptr, &Bytes, static_cast<long>(ADer.size()));
  if (!Certificate) TLSDetail::RaiseSetupError("certificate");
  TIdTLSCertificate Result;
  Result.FHandle.reset(Certificate, X509_free);
  return Result;
}

std::string TIdTLSCertificate::Pem() const {
  if (Empty()) return std::string();
  TLSDetail::TBioPtr Bio = TLSDetail::NewMemoryBio();
  PEM_write_bio_X509(Bio.get(), FHandle.get());
  return TLSDetail::BioText(Bio.get());
}

std::string TIdTLSCertificate::Der() const {
  if (Empty()) return std::string();
  unsigned char* Bytes = nullptr;
  const int Length = i2d_X509(FHandle.get(), &Bytes);
  if (Length <= 0) return std::string();
  std::string Result(reinterpret_cast<const char*>(Bytes), static_cast<size_t>(Length));
  OPENSSL_free(Bytes);
  return Result;
}

std::string TIdTLSCertificate::Fingerprint() const {
  unsigned char Digest[EVP_MAX_MD_SIZE];
  unsigned int Length = 0;
  if (Empty() || X509_digest(FHandle.get(), EVP_sha256(), Digest, &Length) != 1)
    return std::string();
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string Text;
  for (unsigned int I = 0; I < Length; ++I) {
    if (I > 0) Text += ':';
    Text += Hex[Digest[I] >> 4];
    Text += Hex[Digest[I] & 15];
  }
  return Text;
}

std::string TIdTLSCertificate::Subject() const {
  return Empty() ? std::string() : NameLine(X509_get_subject_name(FHandle.get()));
}

std::string TIdTLSCertificate::Issuer() const {
  return Empty() ? std::string() : NameLine(X509_get_issuer_name(FHandle.get()));
}

std::vector<std::string> TIdTLSCertificate::AlternativeNames() const {
  std::vector<std::string> Names;
  if (Empty()) return Names;
  auto* General = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(FHandle.get(), NID_subject_alt_name, nullptr, nullptr));
  for (int I = 0; General && I < sk_GENERAL_NAME_num(General); ++I) {
    std::string Text = NameText(sk_GENERAL_NAME_value(General, I));
    if (!Text.empty()) Names.push_back(std::move(Text));
  }
  GENERAL_NAMES_free(General);
  return Names;
}

std::string ChainToPem(const std::vector<TIdTLSCertificate>& AChain) {
  std::string Text;
  for (const TIdTLSCertificate& Certificate : AChain)
    Text += Certificate.Pem();
  return Text;
}

} // namespace Id
