#include "core/IdComponent.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "core/IdResourceStrings.h"
#include "net/IdStack.h"
#include "runtime/CriticalSection.h"

namespace Id {

namespace {

// Process-wide state, built on first use so that no component can be made before it exists.
struct TStackState {
  TCriticalSection Lock;
  int32_t UserCount = 0;
  std::unique_ptr<TIdStack> Stack;
  std::atomic<TIdStack*> Current{nullptr};
};

TStackState& State() {
  // Never destroyed: threads still winding down at process end may consult it.
  static TStackState* S = new TStackState;
  return *S;
}

} // namespace

std::array<std::string, 9>& StatusTexts() {
  static std::array<std::string, 9> Texts{
      RS::RSStatusResolving, RS::RSStatusConnecting,  RS::RSStatusConnected,
      RS::RSStatusDisconnecting, RS::RSStatusDisconnected, RS::RSStatusText,
      RS::RSStatusText,      RS::RSStatusText,        RS::RSStatusText};
  return Texts;
}

TIdStack* GlobalStack() noexcept { return State().Current.load(std::memory_order_acquire); }

TCriticalSection& StackLock() { return State().Lock; }

int32_t StackUserCount() {
  std::lock_guard<TCriticalSection> Guard(State().Lock);
  return State().UserCount;
}

TIdComponent::TIdComponent(TComponent* AOwner) : TIdBaseComponent(AOwner) {
  TStackState& S = State();
  std::lock_guard<TCriticalSection> Guard(S.Lock);
  if (S.UserCount == 0) {
    // A failed creation leaves the count as it was; the next component tries again.
    S.Stack = TIdStack::NewStackInstance();
    S.Current.store(S.Stack.get(), std::memory_order_release);
  }
  ++S.UserCount;
}

TIdComponent::~TIdComponent() {
  // Owned components and removal notices go before the stack bookkeeping.
  DestroyComponents();
  TStackState& S = State();
  std::lock_guard<TCriticalSection> Guard(S.Lock);
  if (--S.UserCount == 0) {
    S.Current.store(nullptr, std::memory_order_release);
    S.Stack.reset();
  }
}

void TIdComponent::NotifyStatus(TIdStatus AStatus) { NotifyStatus(AStatus, {std::string()}); }

void TIdComponent::NotifyStatus(TIdStatus AStatus, const std::vector<TFormatArg>& AArgs) {
  if (!OnStatus) return;
  const std::string Text = Format(StatusTexts()[static_cast<size_t>(AStatus)], AArgs);
  OnStatus(this, AStatus, Text);
}

void TIdComponent::NotifyWorkBegin(TWorkMode AWorkMode, int32_t AWorkCountMax) {
  TWorkInfo& W = FWorkInfos[static_cast<int>(AWorkMode)];
  if (++W.Level != 1) return;
  W.Max = AWorkCountMax;
  W.Count = 0;
  if (OnWorkBegin) OnWorkBegin(this, AWorkMode, AWorkCountMax);
}

void TIdComponent::NotifyWork(TWorkMode AWorkMode, int32_t ACount) {
  TWorkInfo& W = FWorkInfos[static_cast<int>(AWorkMode)];
  if (W.Level <= 0) return;
  W.Count += ACount;
  if (OnWork) OnWork(this, AWorkMode, W.Count);
}

void TIdComponent::NotifyWorkEnd(TWorkMode AWorkMode) {
  TWorkInfo& W = FWorkInfos[static_cast<int>(AWorkMode)];
  if (W.Level == 1 && OnWorkEnd) OnWorkEnd(this, AWorkMode);
  --W.Level;
}

} // namespace Id
