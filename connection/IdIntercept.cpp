// SPDX-License-Identifier: MIT
#include "idframework/connection/IdIntercept.h"

#include "idframework/runtime/CriticalSection.h"

namespace Id {

TIdConnectionIntercept::TIdConnectionIntercept(TComponent* AOwner) : TIdBaseComponent(AOwner) {
  FClientSide = true;
}

TIdConnectionIntercept::~TIdConnectionIntercept() = default;

void TIdConnectionIntercept::SetNestedIntercept(TIdConnectionIntercept* AValue) {
  if (FNestedIntercept == AValue) return;
  if (FNestedIntercept) RemoveFreeNotification(FNestedIntercept);
  FNestedIntercept = AValue;
  if (AValue) FreeNotification(AValue);
}

void TIdConnectionIntercept::Notification(TComponent* AComponent, TOperation AOperation) {
  TIdBaseComponent::Notification(AComponent, AOperation);
  if (AOperation == TOperation::opRemove && AComponent == FNestedIntercept)
    FNestedIntercept = nullptr;
}

void TIdConnectionIntercept::PassConnect(TIdTCPConnection* AConnection) {
  if (FNestedIntercept) FNestedIntercept->InterceptConnect(AConnection);
}

void TIdConnectionIntercept::PassDisconnect() {
  if (FNestedIntercept) FNestedIntercept->InterceptDisconnect();
}

void TIdConnectionIntercept::PassReceive(TStream& ABuffer) {
  if (FNestedIntercept) FNestedIntercept->InterceptReceive(ABuffer);
}

void TIdConnectionIntercept::PassSend(TStream& ABuffer) {
  if (FNestedIntercept) FNestedIntercept->InterceptSend(ABuffer);
}

void TIdConnectionIntercept::InterceptConnect(TIdTCPConnection* AConnection) {
  FAttachedConnection = AConnection;
  AssertNoLockHeld("an intercept");
  if (OnConnect) OnConnect(this);
  PassConnect(AConnection);
}

void TIdConnectionIntercept::InterceptDisconnect() {
  AssertNoLockHeld("an intercept");
  PassDisconnect();
  if (OnDisconnect) OnDisconnect(this);
  FAttachedConnection = nullptr;
}

void TIdConnectionIntercept::InterceptReceive(TStream& ABuffer) {
  AssertNoLockHeld("an intercept");
  // The inner link turns the wire bytes back before this one sees them.
  PassReceive(ABuffer);
  if (OnReceive) {
    OnReceive(this, ABuffer);
    ABuffer.SetPosition(0);
  }
}

void TIdConnectionIntercept::InterceptSend(TStream& ABuffer) {
  AssertNoLockHeld("an intercept");
  if (OnSend) {
    OnSend(this, ABuffer);
    ABuffer.SetPosition(0);
  }
  // The innermost link produces the bytes that go on the wire.
  PassSend(ABuffer);
}

} // namespace Id
