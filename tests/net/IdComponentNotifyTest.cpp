// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idframework/net/IdComponent.h"
#include "support/FakeStack.h"

using namespace Id;

namespace {

struct TEventLog {
  std::vector<std::string> Events;
  void Attach(TIdComponent& C) {
    C.OnWorkBegin = [this](TComponent*, TWorkMode M, int32_t Max) {
      Events.push_back("begin " + std::to_string(int(M)) + " " + std::to_string(Max));
    };
    C.OnWork = [this](TComponent*, TWorkMode M, int32_t N) {
      Events.push_back("work " + std::to_string(int(M)) + " " + std::to_string(N));
    };
    C.OnWorkEnd = [this](TComponent*, TWorkMode M) {
      Events.push_back("end " + std::to_string(int(M)));
    };
  }
};

class IdComponentNotify : public testing::Test {
protected:
  IdTest::TFakeStackScope FStack;
  TIdComponent C{nullptr};
};

} // namespace

TEST_F(IdComponentNotify, StatusTexts) {
  std::vector<std::string> Texts;
  C.OnStatus = [&](TComponent* S, TIdStatus, const std::string& T) {
    EXPECT_EQ(S, &C);
    Texts.push_back(T);
  };
  C.NotifyStatus(TIdStatus::stDisconnected);
  C.NotifyStatus(TIdStatus::stResolving, {std::string("example.org")});
  C.NotifyStatus(TIdStatus::stText);
  C.NotifyStatus(TIdStatus::stConnecting, {std::string("127.0.0.1")});
  EXPECT_EQ(Texts, (std::vector<std::string>{"Disconnected.", "Resolving hostname example.org.", "",
                                             "Connecting to 127.0.0.1."}));
}

TEST_F(IdComponentNotify, NoHandlerMeansNoFormatting) {
  EXPECT_NO_THROW(C.NotifyStatus(TIdStatus::stResolving, {int64_t(1), int64_t(2)}));
}

TEST_F(IdComponentNotify, NestedWorkReportsOnce) {
  TEventLog Log;
  Log.Attach(C);
  C.NotifyWorkBegin(TWorkMode::wkWrite, 100);
  C.NotifyWorkBegin(TWorkMode::wkWrite, 50);
  C.NotifyWork(TWorkMode::wkWrite, 10);
  C.NotifyWork(TWorkMode::wkWrite, 20);
  C.NotifyWorkEnd(TWorkMode::wkWrite);
  EXPECT_EQ(C.WorkInfo(TWorkMode::wkWrite).Level, 1);
  C.NotifyWorkEnd(TWorkMode::wkWrite);
  EXPECT_EQ(Log.Events,
            (std::vector<std::string>{"begin 1 100", "work 1 10", "work 1 30", "end 1"}));
  EXPECT_EQ(C.WorkInfo(TWorkMode::wkWrite).Level, 0);
}

TEST_F(IdComponentNotify, WorkOutsideAUnitIsNotCounted) {
  TEventLog Log;
  Log.Attach(C);
  C.NotifyWork(TWorkMode::wkRead, 10);
  EXPECT_TRUE(Log.Events.empty());
  EXPECT_EQ(C.WorkInfo(TWorkMode::wkRead).Count, 0);
}

TEST_F(IdComponentNotify, ModesCountSeparately) {
  TEventLog Log;
  Log.Attach(C);
  C.NotifyWorkBegin(TWorkMode::wkRead, 0);
  C.NotifyWorkBegin(TWorkMode::wkWrite, 0);
  C.NotifyWork(TWorkMode::wkRead, 5);
  C.NotifyWork(TWorkMode::wkWrite, 7);
  C.NotifyWork(TWorkMode::wkRead, 5);
  EXPECT_EQ(C.WorkInfo(TWorkMode::wkRead).Count, 10);
  EXPECT_EQ(C.WorkInfo(TWorkMode::wkWrite).Count, 7);
}

TEST_F(IdComponentNotify, FailingEndHandlerLeavesTheLevel) {
  C.OnWorkEnd = [](TComponent*, TWorkMode) { throw Exception("boom"); };
  C.NotifyWorkBegin(TWorkMode::wkRead, 1);
  EXPECT_THROW(C.NotifyWorkEnd(TWorkMode::wkRead), Exception);
  EXPECT_EQ(C.WorkInfo(TWorkMode::wkRead).Level, 1);
}
