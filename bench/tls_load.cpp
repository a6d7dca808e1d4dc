// SPDX-License-Identifier: MIT
// The TLS side of the benchmarks, with OpenSSL alone (no framework):
//   handshakes: --concurrency threads each connect, run a TLS 1.3 handshake, read until the
//               server closes and start over, for --duration seconds; prints mode= conc= ok=
//               failed= resumed= seconds= rate=. Every handshake is a full one, unless
//               --resume 1: then each thread offers the session of its last connection
//               (resumed= counts the handshakes the server resumed).
//   bulk:       one connection reads --bytes until the server closes; prints mode= bytes=
//               seconds= gbit_s= (from the end of the handshake to the close).
//   source:     a plain upstream for a TLS proxy: listens on 127.0.0.1 (--port, 0 for any),
//               prints port=N, sends --bytes to each client and closes; runs until SIGTERM.
//
//   tls_load --mode M --port P [--concurrency 8] [--duration 4] [--resume 0] [--bytes N]
//            [--cpu 0] [--ciphersuites TLS_AES_128_GCM_SHA256]

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/BenchSupport.h"

namespace Id::Bench {
namespace {

SSL_CTX* ClientContext(const TBenchArgs& AArgs) {
  SSL_CTX* Context = SSL_CTX_new(TLS_client_method());
  if (!Context) throw std::runtime_error("SSL_CTX_new failed");
  SSL_CTX_set_min_proto_version(Context, TLS1_3_VERSION);
  SSL_CTX_set_ciphersuites(Context, AArgs.Str("ciphersuites", "TLS_AES_128_GCM_SHA256").c_str());
  SSL_CTX_set_session_cache_mode(Context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_verify(Context, SSL_VERIFY_NONE, nullptr);
  return Context;
}

// What one session of a handshakes thread offers and keeps: the session of its last connection
// (owned; nullptr for a full handshake), and whether the server resumed it.
struct TResumption {
  SSL_SESSION* Offer = nullptr;
  bool Resumed = false;
};

// One session: connect, handshake (offering AResume's session), read until the close. The bytes
// read, or -1. The session is kept as a copy: the original is marked not resumable when the
// connection is freed without a close_notify of its own.
int64_t OneSession(SSL_CTX* AContext, int APort, uint64_t* AHandshakeDoneNs = nullptr,
                   TResumption* AResume = nullptr) {
  int Fd = -1;
  try {
    Fd = ConnectLoopback(APort, 30);
  } catch (const std::exception&) {
    return -1;
  }
  SSL* Session = SSL_new(AContext);
  SSL_set_fd(Session, Fd);
  if (AResume && AResume->Offer) SSL_set_session(Session, AResume->Offer);
  int64_t Total = -1;
  if (SSL_connect(Session) == 1) {
    if (AHandshakeDoneNs) *AHandshakeDoneNs = NowNs();
    static thread_local std::vector<char> Block(1 << 20);
    Total = 0;
    for (int N; (N = SSL_read(Session, Block.data(), int(Block.size()))) > 0;)
      Total += N;
    // The server's close_notify is the end; anything else is a failure.
    if (SSL_get_error(Session, 0) != SSL_ERROR_ZERO_RETURN &&
        !(SSL_get_shutdown(Session) & SSL_RECEIVED_SHUTDOWN))
      Total = -1;
  }
  if (AResume) {
    AResume->Resumed = Total >= 0 && SSL_session_reused(Session) == 1;
    SSL_SESSION_free(std::exchange(AResume->Offer, nullptr));
    if (Total >= 0) AResume->Offer = SSL_SESSION_dup(SSL_get0_session(Session));
  }
  ERR_clear_error();
  SSL_free(Session);
  close(Fd);
  return Total;
}

int Handshakes(const TBenchArgs& AArgs, SSL_CTX* AContext, int APort) {
  const int Concurrency = int(AArgs.Int("concurrency", 8));
  const bool Resume = AArgs.Int("resume", 0) != 0;
  const uint64_t End = NowNs() + uint64_t(AArgs.Real("duration", 4) * 1e9);
  std::atomic<uint64_t> Ok{0}, Failed{0}, Resumed{0};
  const uint64_t Start = NowNs();
  std::vector<std::thread> Threads;
  for (int I = 0; I < Concurrency; ++I)
    Threads.emplace_back([&] {
      TResumption Resumption;
      while (NowNs() < End) {
        (OneSession(AContext, APort, nullptr, Resume ? &Resumption : nullptr) == 4 ? Ok : Failed)
            .fetch_add(1);
        if (Resumption.Resumed) Resumed.fetch_add(1);
      }
      SSL_SESSION_free(Resumption.Offer);
    });
  for (std::thread& T : Threads)
    T.join();
  const double Seconds = double(NowNs() - Start) / 1e9;
  std::printf("mode=handshakes conc=%d ok=%llu failed=%llu resumed=%llu seconds=%.3f rate=%.1f\n",
              Concurrency, static_cast<unsigned long long>(Ok.load()),
              static_cast<unsigned long long>(Failed.load()),
              static_cast<unsigned long long>(Resumed.load()), Seconds,
              double(Ok.load()) / Seconds);
  return 0;
}

int Bulk(const TBenchArgs& AArgs, SSL_CTX* AContext, int APort) {
  const uint64_t Bytes = uint64_t(AArgs.Int("bytes", 1L << 30));
  uint64_t Start = 0;
  const int64_t Got = OneSession(AContext, APort, &Start);
  const double Seconds = double(NowNs() - Start) / 1e9;
  if (Got != int64_t(Bytes)) {
    std::fprintf(stderr, "tls_load: %lld of %llu bytes\n", static_cast<long long>(Got),
                 static_cast<unsigned long long>(Bytes));
    return 1;
  }
  std::printf("mode=bulk bytes=%llu seconds=%.3f gbit_s=%.2f\n",
              static_cast<unsigned long long>(Bytes), Seconds, double(Bytes) * 8 / Seconds / 1e9);
  return 0;
}

// A thread per client sends the filler; the main thread accepts until the stop signal.
int Source(const TBenchArgs& AArgs) {
  const uint64_t Bytes = uint64_t(AArgs.Int("bytes", 1L << 30));
  InstallStopSignal();
  const int Listener = ListenLoopback(int(AArgs.Int("port", 0)), 64);
  PrintFact("port", std::to_string(LocalPort(Listener)));
  for (;;) {
    pollfd Fds[2] = {{Listener, POLLIN, 0}, {StopSignalFd(), POLLIN, 0}};
    if (poll(Fds, 2, -1) < 0) continue;
    if (Fds[1].revents) break;
    const int Fd = accept(Listener, nullptr, nullptr);
    if (Fd < 0) continue;
    std::thread([Fd, Bytes] {
      SendFiller(Fd, Bytes);
      close(Fd);
    }).detach();
  }
  close(Listener);
  return 0;
}

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  if (Args.Has("cpu")) PinToCpu(int(Args.Int("cpu", 0)));
  const std::string Mode = Args.Str("mode", "");
  if (Mode == "source") return Source(Args);
  const int Port = int(Args.Int("port", 0));
  SSL_CTX* Context = ClientContext(Args);
  const int Result = Mode == "handshakes" ? Handshakes(Args, Context, Port)
                     : Mode == "bulk"     ? Bulk(Args, Context, Port)
                                          : throw std::runtime_error("unknown --mode " + Mode);
  SSL_CTX_free(Context);
  return Result;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("tls_load", &Id::Bench::Main, argc, argv);
}
