// SPDX-License-Identifier: MIT
#include "idframework/net/IdComponent.h"

#include "idframework/core/IdResourceStrings.h"
#include "idframework/runtime/CriticalSection.h"

namespace Id {

std::array<std::string, 9>& StatusTexts() {
  static std::array<std::string, 9> Texts{
      RS::RSStatusResolving,     RS::RSStatusConnecting,   RS::RSStatusConnected,
      RS::RSStatusDisconnecting, RS::RSStatusDisconnected, RS::RSStatusText,
      RS::RSStatusText,          RS::RSStatusText,         RS::RSStatusText};
  return Texts;
}

TIdComponent::TIdComponent(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

// Owned components and removal notices go before the stack use (a member) lets go.
TIdComponent::~TIdComponent() {
  DestroyComponents();
}

void TIdComponent::NotifyStatus(TIdStatus AStatus) {
  if (OnStatus) NotifyStatus(AStatus, {std::string()}); // the text is built only for a listener
}

void TIdComponent::NotifyStatus(TIdStatus AStatus, const std::vector<TFormatArg>& AArgs) {
  if (!OnStatus) return;
  const std::string Text = Format(StatusTexts()[static_cast<size_t>(AStatus)], AArgs);
  AssertNoLockHeld("OnStatus");
  OnStatus(this, AStatus, Text);
}

void TIdComponent::NotifyWorkBegin(TWorkMode AWorkMode, int32_t AWorkCountMax) {
  TWorkInfo& W = FWorkInfos[static_cast<int>(AWorkMode)];
  if (++W.Level != 1) return;
  W.Max = AWorkCountMax;
  W.Count = 0;
  if (!OnWorkBegin) return;
  AssertNoLockHeld("OnWorkBegin");
  OnWorkBegin(this, AWorkMode, AWorkCountMax);
}

void TIdComponent::NotifyWork(TWorkMode AWorkMode, int32_t ACount) {
  TWorkInfo& W = FWorkInfos[static_cast<int>(AWorkMode)];
  if (W.Level <= 0) return;
  W.Count += ACount;
  if (!OnWork) return;
  AssertNoLockHeld("OnWork");
  OnWork(this, AWorkMode, W.Count);
}

void TIdComponent::NotifyWorkEnd(TWorkMode AWorkMode) {
  TWorkInfo& W = FWorkInfos[static_cast<int>(AWorkMode)];
  if (W.Level == 1 && OnWorkEnd) {
    AssertNoLockHeld("OnWorkEnd");
    OnWorkEnd(this, AWorkMode);
  }
  --W.Level;
}

} // namespace Id
