// SPDX-License-Identifier: MIT
// The main form: what its compiled-in description makes. Serving clients is the end-to-end
// script's part (program_e2e.py), against the real program.
#include "app/Unit1.h"

#include <gtest/gtest.h>

#include "idframework/net/IdSocketHandle.h"
#include "idframework/server/IdTCPServer.h"

namespace Id {
namespace {

// A form read as in a designer: the stored Active is only recorded, so nothing binds port 100.
class Form1Designed : public testing::Test {
protected:
  void SetUp() override {
    FDesigner.SetComponentStateFlag(csDesigning, true);
    FForm = new TForm1(&FDesigner);
  }
  TComponent FDesigner{nullptr};
  TForm1* FForm = nullptr; // owned by FDesigner
};

TEST_F(Form1Designed, TheDescriptionMakesTheWindowAndItsServerOnPort100) {
  EXPECT_EQ(FForm->Name(), "Form1");
  EXPECT_EQ(FForm->Caption(), "Form1");
  EXPECT_EQ(FForm->Left(), 231);
  EXPECT_EQ(FForm->Top(), 109);
  EXPECT_EQ(FForm->Width(), 171);
  EXPECT_EQ(FForm->Height(), 175);
  TIdTCPServer* Server = FForm->IdTCPServer1;
  ASSERT_NE(Server, nullptr);
  EXPECT_EQ(Server->Owner(), FForm);
  EXPECT_TRUE(Server->Active()) << "recorded; a designed server does not listen";
  ASSERT_EQ(Server->Bindings().Count(), 1);
  EXPECT_EQ(Server->Bindings().Items(0)->Port(), 100);
  EXPECT_TRUE(Server->OnExecute) << "bound to the form's IdTCPServer1Execute";
}

TEST_F(Form1Designed, FreeingTheServerClearsTheFormsReference) {
  delete FForm->IdTCPServer1;
  EXPECT_EQ(FForm->IdTCPServer1, nullptr);
  EXPECT_EQ(FForm->ComponentCount(), 0);
}

} // namespace
} // namespace Id
