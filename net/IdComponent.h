// SPDX-License-Identifier: MIT
// The network component base: the stack's lifetime, status reports and work progress.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "idframework/core/IdBaseComponent.h"
#include "idframework/net/IdStack.h"
#include "idframework/runtime/Export.h"
#include "idframework/runtime/SysUtils.h"

namespace Id {

enum class TIdStatus {
  stResolving = 0,
  stConnecting,
  stConnected,
  stDisconnecting,
  stDisconnected,
  stText,
  stText2,
  stText3,
  stText4,
};
/// wkRead: bytes consumed from the receive side; wkWrite: bytes sent.
enum class TWorkMode { wkRead = 0, wkWrite = 1 };

using TIdStatusEvent =
    std::function<void(TComponent* ASender, TIdStatus AStatus, const std::string& AStatusText)>;
using TWorkBeginEvent =
    std::function<void(TComponent* Sender, TWorkMode AWorkMode, int32_t AWorkCountMax)>;
using TWorkEvent = std::function<void(TComponent* Sender, TWorkMode AWorkMode, int32_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TComponent* Sender, TWorkMode AWorkMode)>;

/// The default text of each status value; loaded at program start, may be replaced before use.
ID_API std::array<std::string, 9>& StatusTexts();

/// Base of every component that talks to the network. Each is a user of the process-wide stack
/// (TIdStackUse): the first live user creates GlobalStack, the last one destroyed frees it.
/// Status and work events run on the thread that performs the component's I/O; the work state is
/// not locked (one thread uses it).
class ID_API TIdComponent : public TIdBaseComponent {
public:
  /// Raises the stack's error when the stack cannot be created; the count is then unchanged.
  explicit TIdComponent(TComponent* AOwner);
  ~TIdComponent() override;

  /// Fired by NotifyStatus.
  TIdStatusEvent OnStatus;
  /// Fired by NotifyWork.
  TWorkEvent OnWork;
  /// Fired by the outermost NotifyWorkBegin.
  TWorkBeginEvent OnWorkBegin;
  /// Fired by the outermost NotifyWorkEnd.
  TWorkEndEvent OnWorkEnd;

  /// Opens (level 1) or nests a unit of work; only the outermost one fires OnWorkBegin.
  virtual void NotifyWorkBegin(TWorkMode AWorkMode, int32_t AWorkCountMax);
  /// Adds ACount bytes to the open unit and fires OnWork with the running total.
  virtual void NotifyWork(TWorkMode AWorkMode, int32_t ACount);
  /// Closes or un-nests; the outermost end fires OnWorkEnd before the level drops.
  virtual void NotifyWorkEnd(TWorkMode AWorkMode);

  /// Fires OnStatus with the status's text formatted with one empty argument.
  void NotifyStatus(TIdStatus AStatus);
  /// Fires OnStatus with the status's text formatted with AArgs.
  void NotifyStatus(TIdStatus AStatus, const std::vector<TFormatArg>& AArgs);

  /// Count, maximum and level of the open unit of work of a mode.
  struct TWorkInfo {
    /// Bytes counted so far.
    int32_t Count = 0;
    /// The expected total given to NotifyWorkBegin.
    int32_t Max = 0;
    /// The nesting depth; 0 when no unit is open.
    int32_t Level = 0;
  };
  /// The open unit of work of AMode.
  const TWorkInfo& WorkInfo(TWorkMode AMode) const { return FWorkInfos[static_cast<int>(AMode)]; }

private:
  TIdStackUse FStackUse; // keeps GlobalStack alive while the component lives
  std::array<TWorkInfo, 2> FWorkInfos{};
};

} // namespace Id
