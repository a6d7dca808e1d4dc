// SPDX-License-Identifier: MIT
// The life of GlobalStack: made with the first component, freed with the last.
#include <gtest/gtest.h>

#include <memory>

#include "idframework/core/IdException.h"
#include "idframework/net/IdComponent.h"
#include "idframework/net/detail/IdStackUsers.h"
#include "support/FakeStack.h"

using namespace Id;

namespace {

class ComponentStack : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(StackUserCount(), 0);
    ASSERT_EQ(GlobalStack(), nullptr);
  }
  IdTest::TFakeStackScope FScope;
};

// The first creation fails the way a stack that cannot start does; later ones succeed.
int FlakyCreations = 0;
std::unique_ptr<TIdStack> FlakyStack() {
  if (FlakyCreations++ == 0) throw EIdStackInitializationFailed();
  return std::make_unique<IdTest::TFakeStack>();
}

} // namespace

TEST_F(ComponentStack, TheLastComponentFreesTheStack) {
  auto First = std::make_unique<TIdComponent>(nullptr);
  TIdStack* Stack = GlobalStack();
  ASSERT_NE(Stack, nullptr);
  auto Second = std::make_unique<TIdComponent>(nullptr);
  EXPECT_EQ(GlobalStack(), Stack);
  EXPECT_EQ(IdTest::TFakeStack::Live, 1);
  First.reset();
  EXPECT_EQ(GlobalStack(), Stack);
  EXPECT_EQ(StackUserCount(), 1);
  Second.reset();
  EXPECT_EQ(GlobalStack(), nullptr);
  EXPECT_EQ(IdTest::TFakeStack::Live, 0);
}

TEST_F(ComponentStack, OwnedComponentsCountAsUsers) {
  auto Owner = std::make_unique<TIdComponent>(nullptr);
  new TIdComponent(Owner.get()); // owned: freed by Owner
  EXPECT_EQ(StackUserCount(), 2);
  Owner.reset();
  EXPECT_EQ(StackUserCount(), 0);
  EXPECT_EQ(GlobalStack(), nullptr);
}

TEST_F(ComponentStack, EachFirstComponentMakesAFreshStack) {
  for (int I = 0; I < 2; ++I) {
    TIdComponent C(nullptr);
    EXPECT_NE(GlobalStack(), nullptr);
    EXPECT_EQ(IdTest::TFakeStack::Live, 1);
  }
  EXPECT_EQ(IdTest::TFakeStack::Live, 0);
}

TEST_F(ComponentStack, AStackThatCannotStartIsTriedAgainByTheNextComponent) {
  StackClass() = &FlakyStack;
  FlakyCreations = 0;
  try {
    TIdComponent C(nullptr);
    FAIL() << "no exception";
  } catch (const EIdStackInitializationFailed& E) {
    EXPECT_EQ(E.Message(), "Winsock Initialization Error.");
  }
  EXPECT_EQ(StackUserCount(), 0);
  EXPECT_EQ(GlobalStack(), nullptr);
  {
    TIdComponent C(nullptr);
    EXPECT_NE(GlobalStack(), nullptr);
    EXPECT_EQ(StackUserCount(), 1);
  }
  EXPECT_EQ(FlakyCreations, 2);
  EXPECT_EQ(GlobalStack(), nullptr);
}
