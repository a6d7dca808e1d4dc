// SPDX-License-Identifier: MIT
#include "idframework/tls/IdIOHandlerTLS.h"

#include <algorithm>

#include "idframework/core/IdException.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/tls/IdTLSExceptions.h"
#include "idframework/tls/detail/IdTLSPipe.h"

namespace Id {

// The session over the current socket: its engine reads and writes records through the pipe,
// which goes down to the socket handle and never back up into a transport.
struct TIdIOHandlerTLS::TSession {
  TSession(std::shared_ptr<const TIdTLSContext> AContext, TIdSocketHandle& AHandle,
           const std::string& APeerName)
      : Pipe(AHandle), Engine(std::move(AContext), Pipe, APeerName) {}

  TIdTLSSocketPipe Pipe;
  TIdTLSEngine Engine;
};

// Records go out without waiting for the acknowledgement of the one before (see UseNagle).
TIdIOHandlerTLS::TIdIOHandlerTLS(TComponent* AOwner) : TIdIOHandlerSocket(AOwner) {
  SetUseNagle(false);
}

// The session goes before the socket handle it reads through.
TIdIOHandlerTLS::~TIdIOHandlerTLS() {
  EndSession();
}

TIdTLSContext& TIdIOHandlerTLS::Context() {
  if (!FContext) FContext = std::make_shared<TIdTLSContext>(TIdTLSRole::trClient);
  return *FContext;
}

void TIdIOHandlerTLS::SetContext(std::shared_ptr<TIdTLSContext> AValue) {
  FContext = std::move(AValue);
}

const TIdTLSEngine* TIdIOHandlerTLS::Session() const noexcept {
  return FActive.load() && FSession ? &FSession->Engine : nullptr;
}

void TIdIOHandlerTLS::EndSession() {
  TLockGuard<TMutex> Guard(FSessionLock);
  FActive = false;
  FSession.reset();
}

void TIdIOHandlerTLS::OpenIO() {
  EndSession();
  TIdIOHandlerSocket::OpenIO();
}

// Never waits for the session: a call under way holds it, and closing the socket wakes that
// call. An idle session ends with its alert first; the socket is closed before the lock is let
// go, so a call that comes next finds it closed instead of a session that has ended.
void TIdIOHandlerTLS::CloseIO() {
  if (FActive.load() && FSessionLock.try_lock()) {
    if (FSession && IsOpen()) {
      FSession->Pipe.SetNoWait(true);
      FSession->Engine.Shutdown();
      FSession->Pipe.SetNoWait(false);
    }
    TIdIOHandlerSocket::CloseIO();
    FSessionLock.unlock();
    return;
  }
  TIdIOHandlerSocket::CloseIO();
}

void TIdIOHandlerTLS::ConnectTo(const std::string& AHost, int32_t APort,
                                const std::string& ABoundIP, int32_t ABoundPort,
                                int32_t ABoundPortMin, int32_t ABoundPortMax, int32_t ATimeout) {
  EndSession();
  FConnectHost = AHost;
  TIdIOHandlerSocket::ConnectTo(AHost, APort, ABoundIP, ABoundPort, ABoundPortMin, ABoundPortMax,
                                ATimeout);
  if (FMode == TIdTLSMode::tmImplicit) StartTLS();
}

void TIdIOHandlerTLS::AcceptCompleted() {
  TIdIOHandlerSocket::AcceptCompleted();
  if (FMode == TIdTLSMode::tmImplicit) StartTLS();
}

// The handshake runs without the session's lock: no other thread touches a session that is not
// active yet, and what the handshake calls out to (the context's checks) runs under no lock.
void TIdIOHandlerTLS::StartTLS() {
  if (FActive) throw EIdTLSStartRefused(RS::RSTLSAlreadyOn);
  if (!IsOpen()) throw EIdClosedSocket();
  try {
    Context(); // a client context when none was set
    {
      TLockGuard<TMutex> Guard(FSessionLock);
      FSession = std::make_unique<TSession>(FContext, *SocketHandle(), PeerName());
      FSession->Engine.OfferSession(FOfferedSession);
    }
    RunHandshake();
  } catch (const Exception& E) {
    FailHandshake(E);
    throw;
  }
  FActive = true;
}

void TIdIOHandlerTLS::RunHandshake() {
  std::optional<TIdTLSSocketPipe::TClock::time_point> Deadline;
  if (FHandshakeTimeout > 0)
    Deadline = TIdTLSSocketPipe::TClock::now() + std::chrono::milliseconds(FHandshakeTimeout);
  FSession->Pipe.SetDeadline(Deadline);
  // The engine stops short only when the pipe's time ran out.
  if (!FSession->Engine.Handshake()) throw EIdTLSHandshakeTimeout();
}

// The socket is closed without an alert: the session never got going. The event runs with the
// session's lock let go.
void TIdIOHandlerTLS::FailHandshake(const Exception& AException) {
  EndSession();
  TIdIOHandlerSocket::CloseIO();
  if (!OnHandshakeFailure) return;
  AssertNoLockHeld("OnHandshakeFailure");
  OnHandshakeFailure(*this, AException);
}

std::string TIdIOHandlerTLS::PeerName() const {
  return FHostName.empty() ? FConnectHost : FHostName;
}

bool TIdIOHandlerTLS::AwaitReadable(int32_t ATimeout) {
  if (!CarriesPlain()) {
    TLockGuard<TMutex> Guard(FSessionLock);
    if (FSession && FSession->Engine.HasPending()) return true;
  }
  return TIdIOHandlerSocket::AwaitReadable(ATimeout);
}

int32_t TIdIOHandlerTLS::ReceiveBytes(void* ABuffer, int32_t ALength) {
  if (CarriesPlain()) return TIdIOHandlerSocket::ReceiveBytes(ABuffer, ALength);
  return ReadPlain(ABuffer, ALength, std::nullopt);
}

std::optional<int32_t> TIdIOHandlerTLS::ReceiveWhenReadable(void* ABuffer, int32_t ALength,
                                                            int32_t ATimeout) {
  if (CarriesPlain()) return TIdIOHandlerSocket::ReceiveWhenReadable(ABuffer, ALength, ATimeout);
  std::optional<TIdTLSSocketPipe::TClock::time_point> Deadline;
  if (ATimeout != TimeoutInfinite)
    Deadline = TIdTLSSocketPipe::TClock::now() + std::chrono::milliseconds(std::max(ATimeout, 0));
  const int32_t Received = ReadPlain(ABuffer, ALength, Deadline);
  if (Received == TIdTLSPipe::NoBytesNow) return std::nullopt;
  return Received;
}

// A session that failed is of no further use: its socket is closed, so the connection sees the
// end instead of reading again.
int32_t TIdIOHandlerTLS::ReadPlain(void* ABuffer, int32_t ALength,
                                   std::optional<TIdTLSSocketPipe::TClock::time_point> ADeadline) {
  TLockGuard<TMutex> Guard(FSessionLock);
  if (!FSession || !IsOpen()) throw EIdConnClosedGracefully(); // closed by another thread
  FSession->Pipe.SetDeadline(ADeadline);
  try {
    return FSession->Engine.Read(ABuffer, ALength);
  } catch (...) {
    TIdIOHandlerSocket::CloseIO();
    throw;
  }
}

int32_t TIdIOHandlerTLS::SendBytes(const void* ABuffer, int32_t ALength) {
  if (CarriesPlain()) return TIdIOHandlerSocket::SendBytes(ABuffer, ALength);
  TLockGuard<TMutex> Guard(FSessionLock);
  if (!FSession || !IsOpen()) throw EIdClosedSocket(); // closed by another thread
  FSession->Pipe.SetDeadline(std::nullopt);
  try {
    return FSession->Engine.Write(ABuffer, ALength);
  } catch (...) {
    TIdIOHandlerSocket::CloseIO();
    throw;
  }
}

bool TIdIOHandlerTLS::WholeFileSendAllowed() {
  return !FActive.load();
}

} // namespace Id
