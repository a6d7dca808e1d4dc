// SPDX-License-Identifier: MIT
// Fuzz target: arbitrary bytes, cut into arbitrary pieces, fed to the server side of a TLS
// handshake through the in-memory transport. The engine must end in an exception of the
// framework's tree or in a complete handshake, never hang, crash or leak, and never report a
// handshake as complete without one.
//
// Input layout: the receive schedule of TChunkSchedule::Read (a count byte and up to 4 sizes),
// then what the client sends.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "idframework/core/IdException.h"
#include "idframework/tls/IdTLSEngine.h"
#include "idframework/tls/detail/IdTLSPipe.h"

namespace {

using namespace Id;

// The engine's pipe over a TIdIOHandler: the in-memory transport of the fuzz targets.
class TTransportPipe : public TIdTLSPipe {
public:
  explicit TTransportPipe(TIdIOHandler& ATransport) : FTransport(ATransport) {}
  int32_t PipeReceive(void* ABuffer, int32_t ALength) override {
    if (!FTransport.AwaitReadable(0)) return NoBytesNow;
    return FTransport.ReceiveBytes(ABuffer, ALength);
  }
  int32_t PipeSend(const void* ABuffer, int32_t ALength) override {
    return FTransport.SendBytes(ABuffer, ALength);
  }

private:
  TIdIOHandler& FTransport;
};

template <class F> std::string ToPem(F AWrite) {
  BIO* Bio = BIO_new(BIO_s_mem());
  AWrite(Bio);
  char* Data = nullptr;
  const long Length = BIO_get_mem_data(Bio, &Data);
  std::string Text(Data, static_cast<size_t>(Length));
  BIO_free(Bio);
  return Text;
}

// A server context with a self-signed certificate made once, in memory.
std::shared_ptr<const TIdTLSContext> ServerContext() {
  auto Context = std::make_shared<TIdTLSContext>(TIdTLSRole::trServer);
  EVP_PKEY* Key = EVP_EC_gen("P-256");
  X509* Cert = X509_new();
  X509_set_version(Cert, 2);
  X509_gmtime_adj(X509_getm_notBefore(Cert), -86400);
  X509_gmtime_adj(X509_getm_notAfter(Cert), 86400);
  X509_set_pubkey(Cert, Key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(Cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(Cert, X509_get_subject_name(Cert));
  X509_sign(Cert, Key, EVP_sha256());
  Context->UseCertificateChain(ToPem([&](BIO* B) { PEM_write_bio_X509(B, Cert); }));
  Context->UsePrivateKey(ToPem(
      [&](BIO* B) { PEM_write_bio_PrivateKey(B, Key, nullptr, nullptr, 0, nullptr, nullptr); }));
  Context->SetALPNProtocols({"h2", "http/1.1"});
  X509_free(Cert);
  EVP_PKEY_free(Key);
  return Context;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, std::size_t ASize) {
  static const std::shared_ptr<const TIdTLSContext> Context = ServerContext();
  IdFuzz::TFuzzInput Input(AData, ASize);
  IdFuzz::TChunkSchedule Schedule = IdFuzz::TChunkSchedule::Read(Input);
  IdFuzz::TMemoryTransport Transport(Input.Rest(), Schedule, IdFuzz::TPayloadEnd::peClose);
  TTransportPipe Pipe(Transport);
  TIdTLSEngine Engine(Context, Pipe, "");
  try {
    // The payload ends in a close, so every call either moves on or ends.
    for (int Call = 0; Call < 1000 && !Engine.Handshake(); ++Call) {
    }
    if (!Engine.Established()) return 0;
    char Block[512];
    while (Engine.Read(Block, sizeof(Block)) > 0) {
    }
  } catch (const EIdException&) {
    IdFuzz::Check(!Engine.Established(), "a failed session still counts as established");
  }
  return 0;
}
