// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <thread>

#include "idframework/core/IdAntiFreezeBase.h"
#include "idframework/core/IdException.h"

using namespace Id;

namespace {

class TCountingAntiFreeze : public TIdAntiFreezeBase {
public:
  using TIdAntiFreezeBase::TIdAntiFreezeBase;
  void ProcessIdle() override { ++Calls; }
  int Calls = 0;
};

} // namespace

TEST(AntiFreeze, NothingHappensWithoutAnInstance) {
  EXPECT_EQ(TIdAntiFreezeBase::Instance(), nullptr);
  EXPECT_FALSE(TIdAntiFreezeBase::AntiFreezeActive());
  TIdAntiFreezeBase::AntiFreezeStep(true, true);
}

TEST(AntiFreeze, StepsHonourOnlyWhenIdleAndOverride) {
  TCountingAntiFreeze A(nullptr);
  EXPECT_EQ(A.IdleTimeOut, 250);
  EXPECT_TRUE(TIdAntiFreezeBase::AntiFreezeActive());
  TIdAntiFreezeBase::AntiFreezeStep(false, false);
  EXPECT_EQ(A.Calls, 0);
  TIdAntiFreezeBase::AntiFreezeStep(false, true);
  EXPECT_EQ(A.Calls, 1);
  TIdAntiFreezeBase::AntiFreezeStep(true, false);
  EXPECT_EQ(A.Calls, 2);
  A.OnlyWhenIdle = false;
  TIdAntiFreezeBase::AntiFreezeStep(false, false);
  EXPECT_EQ(A.Calls, 3);
  A.Active = false;
  TIdAntiFreezeBase::AntiFreezeStep(true, true);
  EXPECT_EQ(A.Calls, 3);
}

TEST(AntiFreeze, OnlyTheMainThreadIsServed) {
  TCountingAntiFreeze A(nullptr);
  std::thread([] { TIdAntiFreezeBase::AntiFreezeStep(true, true); }).join();
  EXPECT_EQ(A.Calls, 0);
}

TEST(AntiFreeze, LatestInstanceWinsAndAnyDestructionClears) {
  auto First = std::make_unique<TCountingAntiFreeze>(nullptr);
  auto Second = std::make_unique<TCountingAntiFreeze>(nullptr);
  EXPECT_EQ(TIdAntiFreezeBase::Instance(), Second.get());
  First.reset();
  EXPECT_EQ(TIdAntiFreezeBase::Instance(), nullptr);
}

TEST(AntiFreeze, DesignTimeDuplicateIsRefused) {
  TCountingAntiFreeze Running(nullptr);
  TComponent Designer(nullptr);
  Designer.SetComponentStateFlag(csDesigning, true);
  try {
    TCountingAntiFreeze Designed(&Designer);
    FAIL() << "a designed duplicate must be refused";
  } catch (const EIdException& E) {
    EXPECT_STREQ(E.what(), "Only one TIdAntiFreeze can exist per application.");
  }
  EXPECT_EQ(TIdAntiFreezeBase::Instance(), &Running);
}
