#include "tls/IdIOHandlerTLS.h"

#include <sys/socket.h>

#include <algorithm>
#include <limits>

#include "core/IdException.h"
#include "net/IdSocketHandle.h"
#include "tls/IdTLSExceptions.h"

namespace Id {

// One call of the engine by the connection's thread. The pipe goes down to the socket
// transport's own calls, and those may call the transport's overrides back (a wait with a time
// limit calls AwaitReadable, then ReceiveBytes): inside the call they act as the plain socket,
// never as a second entry into the session.
class TIdIOHandlerTLS::TSessionCall {
public:
  explicit TSessionCall(TIdIOHandlerTLS& ATransport) : FTransport(ATransport) {
    ATransport.NoteUserThread();
    ATransport.FInsideSession = true;
  }
  ~TSessionCall() { FTransport.FInsideSession = false; }
  TSessionCall(const TSessionCall&) = delete;
  TSessionCall& operator=(const TSessionCall&) = delete;

private:
  TIdIOHandlerTLS& FTransport;
};

// Records go out without waiting for the acknowledgement of the one before (see UseNagle).
TIdIOHandlerTLS::TIdIOHandlerTLS(TComponent* AOwner) : TIdIOHandlerSocket(AOwner) {
  SetUseNagle(false);
}

TIdIOHandlerTLS::~TIdIOHandlerTLS() {
  FActive = false;
  FEngine.reset();
}

TIdTLSContext& TIdIOHandlerTLS::Context() {
  if (!FContext) FContext = std::make_shared<TIdTLSContext>(TIdTLSRole::trClient);
  return *FContext;
}

void TIdIOHandlerTLS::SetContext(std::shared_ptr<TIdTLSContext> AValue) {
  FContext = std::move(AValue);
}

void TIdIOHandlerTLS::OpenIO() {
  FActive = false;
  FEngine.reset();
  TIdIOHandlerSocket::OpenIO();
}

// Only the session's own thread may touch the session; another thread's close only closes the
// socket, which wakes that thread.
void TIdIOHandlerTLS::CloseIO() {
  // The owner test comes first: only the owning thread reads FInsideSession.
  if (FActive.load() && FUserThread.load() == std::this_thread::get_id() && !FInsideSession &&
      IsOpen()) {
    TSessionCall Call(*this);
    FSendingWithoutWaiting = true;
    FEngine->Shutdown();
    FSendingWithoutWaiting = false;
  }
  TIdIOHandlerSocket::CloseIO();
}

void TIdIOHandlerTLS::ConnectTo(const std::string& AHost, int32_t APort,
                                const std::string& ABoundIP, int32_t ABoundPort,
                                int32_t ABoundPortMin, int32_t ABoundPortMax, int32_t ATimeout) {
  FActive = false;
  FEngine.reset();
  FConnectHost = AHost;
  TIdIOHandlerSocket::ConnectTo(AHost, APort, ABoundIP, ABoundPort, ABoundPortMin, ABoundPortMax,
                                ATimeout);
  if (FMode == TIdTLSMode::tmImplicit) StartTLS();
}

void TIdIOHandlerTLS::AcceptCompleted() {
  TIdIOHandlerSocket::AcceptCompleted();
  if (FMode == TIdTLSMode::tmImplicit) StartTLS();
}

void TIdIOHandlerTLS::StartTLS() {
  if (FActive) throw EIdTLSStartRefused(RS::RSTLSAlreadyOn);
  if (!IsOpen()) throw EIdClosedSocket();
  TSessionCall Call(*this);
  try {
    Context(); // a client context when none was set
    TIdTLSPipe& Pipe = *this;
    FEngine = std::make_unique<TIdTLSEngine>(FContext, Pipe, PeerName());
    RunHandshake();
  } catch (const Exception& E) {
    FailHandshake(E);
    throw;
  }
  FActive = true;
}

void TIdIOHandlerTLS::RunHandshake() {
  if (FHandshakeTimeout > 0)
    FDeadline = TClock::now() + std::chrono::milliseconds(FHandshakeTimeout);
  else
    FDeadline.reset();
  bool Done = false;
  try {
    Done = FEngine->Handshake();
  } catch (...) {
    FDeadline.reset();
    throw;
  }
  FDeadline.reset();
  // The engine stops short only when the pipe's time ran out.
  if (!Done) throw EIdTLSHandshakeTimeout();
}

// The socket is closed without an alert: the session never got going.
void TIdIOHandlerTLS::FailHandshake(const Exception& AException) {
  FEngine.reset();
  TIdIOHandlerSocket::CloseIO();
  if (OnHandshakeFailure) OnHandshakeFailure(*this, AException);
}

std::string TIdIOHandlerTLS::PeerName() const {
  return FHostName.empty() ? FConnectHost : FHostName;
}

bool TIdIOHandlerTLS::AwaitReadable(int32_t ATimeout) {
  if (!CarriesPlain() && FEngine->HasPending()) return true;
  return TIdIOHandlerSocket::AwaitReadable(ATimeout);
}

int32_t TIdIOHandlerTLS::ReceiveBytes(void* ABuffer, int32_t ALength) {
  if (CarriesPlain()) return TIdIOHandlerSocket::ReceiveBytes(ABuffer, ALength);
  FDeadline.reset();
  return ReadPlain(ABuffer, ALength);
}

std::optional<int32_t> TIdIOHandlerTLS::ReceiveWhenReadable(void* ABuffer, int32_t ALength,
                                                            int32_t ATimeout) {
  if (CarriesPlain()) return TIdIOHandlerSocket::ReceiveWhenReadable(ABuffer, ALength, ATimeout);
  if (ATimeout == TimeoutInfinite)
    FDeadline.reset();
  else
    FDeadline = TClock::now() + std::chrono::milliseconds(std::max(ATimeout, 0));
  const int32_t Received = ReadPlain(ABuffer, ALength);
  if (Received == NoBytesNow) return std::nullopt;
  return Received;
}

// A session that failed is of no further use: its socket is closed, so the connection sees the
// end instead of reading again.
int32_t TIdIOHandlerTLS::ReadPlain(void* ABuffer, int32_t ALength) {
  TSessionCall Call(*this);
  try {
    return FEngine->Read(ABuffer, ALength);
  } catch (...) {
    TIdIOHandlerSocket::CloseIO();
    throw;
  }
}

int32_t TIdIOHandlerTLS::SendBytes(const void* ABuffer, int32_t ALength) {
  if (CarriesPlain()) return TIdIOHandlerSocket::SendBytes(ABuffer, ALength);
  TSessionCall Call(*this);
  FDeadline.reset();
  try {
    return FEngine->Write(ABuffer, ALength);
  } catch (...) {
    TIdIOHandlerSocket::CloseIO();
    throw;
  }
}

bool TIdIOHandlerTLS::WholeFileSendAllowed() {
  return !FActive.load();
}

int32_t TIdIOHandlerTLS::PipeReceive(void* ABuffer, int32_t ALength) {
  if (FSendingWithoutWaiting) return NoBytesNow;
  int32_t Wait = TimeoutInfinite;
  if (FDeadline) {
    const auto Left =
        std::chrono::ceil<std::chrono::milliseconds>(*FDeadline - TClock::now()).count();
    // A limit of 0 still looks once.
    if (Left < 0) return NoBytesNow;
    Wait = static_cast<int32_t>(std::min<int64_t>(Left, std::numeric_limits<int32_t>::max()));
  }
  return TIdIOHandlerSocket::ReceiveWhenReadable(ABuffer, ALength, Wait).value_or(NoBytesNow);
}

int32_t TIdIOHandlerTLS::PipeSend(const void* ABuffer, int32_t ALength) {
  if (FSendingWithoutWaiting) return SendWithoutWaiting(ABuffer, ALength);
  return TIdIOHandlerSocket::SendBytes(ABuffer, ALength);
}

// One send that takes only what the socket can take at once, through the handle (which keeps
// the socket from being closed under it). The closing alert goes out this way, so a close never
// waits for a peer that does not read.
int32_t TIdIOHandlerTLS::SendWithoutWaiting(const void* ABuffer, int32_t ALength) {
  try {
    const int32_t Sent = SocketHandle()->SendFrom(ABuffer, ALength, MSG_DONTWAIT);
    return Sent <= 0 ? NoBytesNow : Sent;
  } catch (const EIdException&) {
    return NoBytesNow; // closed meanwhile
  }
}

} // namespace Id
