// SPDX-License-Identifier: MIT
// The application object headless: forms, the loop, its ending, signals and error display.
#include "gui/Application.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <thread>

namespace Id {
namespace {

bool GVisibleWhenFreed = true;

class TTestForm : public TForm {
public:
  explicit TTestForm(TComponent* AOwner) : TForm(AOwner) {}
  ~TTestForm() override { GVisibleWhenFreed = Visible(); }
};

class TBrokenForm : public TForm {
public:
  explicit TBrokenForm(TComponent* AOwner) : TForm(AOwner) {
    LoadDescription("object B: TNoSuchForm\nend", "TBrokenForm");
  }
};

// Initializes headless whatever the environment offers; returns what it said.
std::string InitializeHeadless(TApplication& AApp) {
  unsetenv("DISPLAY");
  testing::internal::CaptureStderr();
  AApp.Initialize();
  return testing::internal::GetCapturedStderr();
}

TEST(ApplicationForms, TheFirstFormCreatedIsTheMainFormAndTheApplicationOwnsThem) {
  TApplication App(nullptr);
  TTestForm* First = nullptr;
  TTestForm* Second = nullptr;
  App.CreateForm(First);
  App.CreateForm(Second);
  ASSERT_NE(First, nullptr);
  ASSERT_NE(Second, nullptr);
  EXPECT_EQ(App.MainForm(), First);
  EXPECT_EQ(First->Owner(), &App);
  EXPECT_EQ(App.ComponentCount(), 2);
  delete First;
  EXPECT_EQ(First, nullptr) << "the reference is cleared when the form is freed";
  EXPECT_EQ(App.MainForm(), nullptr);
}

TEST(ApplicationForms, AFormThatFailsToLoadLeavesNothingBehind) {
  TApplication App(nullptr);
  TBrokenForm* Broken = nullptr;
  EXPECT_THROW(App.CreateForm(Broken), EReadError);
  EXPECT_EQ(Broken, nullptr);
  EXPECT_EQ(App.MainForm(), nullptr);
  EXPECT_EQ(App.ComponentCount(), 0);
}

TEST(ApplicationRun, TerminateFromAnotherThreadEndsRunAndFreesTheForms) {
  TApplication App(nullptr);
  TTestForm* Form = nullptr;
  App.CreateForm(Form);
  std::thread Other([&App] { App.Terminate(); });
  App.Run();
  Other.join();
  EXPECT_TRUE(App.Terminated());
  EXPECT_EQ(Form, nullptr);
  EXPECT_EQ(App.ComponentCount(), 0);
}

TEST(ApplicationRun, WithoutFormsRunsUntilTerminated) {
  TApplication App(nullptr);
  App.Terminate();
  App.Run();
  EXPECT_TRUE(App.Terminated());
}

TEST(ApplicationHeadless, SaysSoOnceOnStandardError) {
  TApplication App(nullptr);
  App.SetTitle("prog");
  EXPECT_EQ(InitializeHeadless(App),
            "prog: no display (DISPLAY is not set); running without a window until SIGINT or "
            "SIGTERM\n");
  testing::internal::CaptureStderr();
  App.Initialize();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ApplicationHeadless, AnUnreachableDisplayMeansHeadless) {
  TApplication App(nullptr);
  App.SetTitle("prog");
  setenv("DISPLAY", "/nonexistent/ids-test:0", 1);
  testing::internal::CaptureStderr();
  App.Initialize();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "prog: no display (cannot open display /nonexistent/ids-test:0); running without a "
            "window until SIGINT or SIGTERM\n");
  EXPECT_FALSE(WindowSessionOpen());
}

class ApplicationSignal : public testing::TestWithParam<int> {};

TEST_P(ApplicationSignal, ClosesTheMainFormAndEndsRun) {
  TApplication App(nullptr);
  InitializeHeadless(App);
  TTestForm* Form = nullptr;
  App.CreateForm(Form);
  GVisibleWhenFreed = true;
  std::raise(GetParam()); // the handler only queues a wake-up; Run acts on it
  App.Run();
  EXPECT_FALSE(GVisibleWhenFreed) << "the form was closed, not just abandoned";
  EXPECT_FALSE(App.Terminated());
  EXPECT_EQ(Form, nullptr);
}

INSTANTIATE_TEST_SUITE_P(SigIntAndSigTerm, ApplicationSignal, testing::Values(SIGINT, SIGTERM));

TEST(ApplicationShowException, HeadlessWritesTheMessageToStandardError) {
  TApplication App(nullptr);
  InitializeHeadless(App);
  testing::internal::CaptureStderr();
  App.ShowException(Exception("Could not bind socket. Address and port are already in use."));
  App.ShowException(Exception(""));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Could not bind socket. Address and port are already in use.\n\n");
}

} // namespace
} // namespace Id
