// SPDX-License-Identifier: MIT
// Fuzz target: the form description reader with the program's classes registered (its form and
// the server with its properties, collections and events). Each input is read into a fresh copy
// of the program's main form, made as in a designer so that a stored Active never binds a port.
//
// A read either succeeds or raises an exception of the runtime's tree; a failed read leaves the
// form with the components it had before and out of the loading state.
//
// Input: the description text, whole.
#include <cstdint>
#include <string>
#include <string_view>

#include "app/Unit1.h"
#include "fuzz/FuzzSupport.h"
#include "gui/DescriptionReader.h"
#include "idframework/runtime/Component.h"
#include "idframework/server/IdTCPServer.h"

namespace {

using namespace Id;
using IdFuzz::Check;

/// The program's form, read again from any text.
class TFuzzForm : public TForm1 {
public:
  using TForm1::TForm1;
  void Read(std::string_view AText) { ReadDescription(*this, Published(), AText, "fuzz"); }
};

void CheckChildren(const TComponent& AForm) {
  for (int I = 0; I < AForm.ComponentCount(); ++I) {
    const TComponent* Child = AForm.Components(I);
    Check(!Child->IsLoading(), "a child was left loading");
    Check(Child->IsDesigning(), "a child of a designed form runs");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  TComponent Designer(nullptr);
  Designer.SetComponentStateFlag(csDesigning, true);
  auto* Form = new TFuzzForm(&Designer); // owned by Designer
  const int Before = Form->ComponentCount();
  try {
    Form->Read(std::string_view(reinterpret_cast<const char*>(AData), ASize));
  } catch (const Exception&) {
    Check(Form->ComponentCount() == Before, "a failed read left components behind");
    Check(!Form->IsLoading(), "a failed read left the form loading");
    CheckChildren(*Form);
    return 0;
  }
  Check(!Form->IsLoading(), "the form was left loading");
  CheckChildren(*Form);
  return 0;
}
