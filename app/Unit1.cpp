// SPDX-License-Identifier: MIT
#include "app/Unit1.h"

#include <mutex>

#include "app/ServerRegistration.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdTCPServer.h"

namespace Id {

namespace {

constexpr std::string_view Unit1Description =
#include "app/Unit1Description.inc"
    ;

void RegisterForm1Class() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    RegisterServerClasses();
    RegisterComponentClass<TForm1>("TForm1", "TForm");
  });
}

} // namespace

TForm1* Form1 = nullptr;

std::string_view TForm1Description() {
  return Unit1Description;
}

TForm1::TForm1(TComponent* AOwner) : TForm(AOwner) {
  RegisterForm1Class();
  Published().PublishField("IdTCPServer1", IdTCPServer1);
  Published().PublishMethod<TIdServerThreadEvent>(
      "IdTCPServer1Execute", [this](TIdPeerThread& AThread) { IdTCPServer1Execute(AThread); });
  LoadDescription(Unit1Description, "TForm1");
}

TForm1::~TForm1() {
  // Peer threads call back into this object until the server has deactivated.
  DestroyComponents();
}

// The four bytes alone (WriteText): the client reads exactly "test" and then the close; a line
// end would add bytes that the service does not promise.
void TForm1::IdTCPServer1Execute(TIdPeerThread& AThread) {
  TIdTCPServerConnection* Connection = AThread.PeerConnection();
  Connection->WriteText("test");
  Connection->CloseConnection();
}

} // namespace Id
