// SPDX-License-Identifier: MIT
// The program's entry: one main form serving TCP port 100 until its window closes.
#include "app/Unit1.h"
#include "gui/Application.h"
#include "idframework/runtime/SysUtils.h"

int main() {
  using namespace Id;
  try {
    Application->Initialize();
    Application->CreateForm(Form1);
    Application->Run();
  } catch (const Exception& E) {
    Application->ShowException(E);
  } catch (const std::exception& E) {
    Application->ShowException(Exception(E.what()));
  } catch (...) {
    // Anything else is shown as an exception without a message.
    try {
      throw Exception("");
    } catch (const Exception& E) {
      Application->ShowException(E);
    }
  }
  return 0;
}
