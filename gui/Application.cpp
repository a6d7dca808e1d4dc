// SPDX-License-Identifier: MIT
// The application object: what every window system shares. Start-up, the wait for events and
// message boxes are in ApplicationFltk.cpp and ApplicationWin32.cpp.
#include "gui/Application.h"

#include <cstdio>

namespace Id {

namespace {
TApplication TheApplication(nullptr);
} // namespace

TApplication* const Application = &TheApplication;

void TApplication::Run() {
  if (FMainForm) FMainForm->Show();
  try {
    while (!Terminated() && (!FMainForm || FMainForm->Visible()))
      WaitForEvents();
  } catch (...) {
    DestroyForms();
    throw;
  }
  DestroyForms();
}

// Closing the main form stands for the user closing the program.
void TApplication::CloseAllWindows() {
  if (FMainForm) FMainForm->Close();
  CloseOtherWindows();
}

void TApplication::ShowException(const Exception& E) noexcept {
  try {
    if (ShowMessageBox(E.Message())) return;
  } catch (...) {
    // Fall through to standard error.
  }
  std::fprintf(stderr, "%s\n", E.Message().c_str());
  std::fflush(stderr);
}

void TApplication::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove) {
    if (AComponent == FMainForm) FMainForm = nullptr;
    for (auto It = FFormReferences.begin(); It != FFormReferences.end();) {
      if (It->Form != AComponent) {
        ++It;
        continue;
      }
      It->Clear();
      It = FFormReferences.erase(It);
    }
  }
  TComponent::Notification(AComponent, AOperation);
}

void TApplication::DestroyForms() noexcept {
  // Newest first, as the owner would; each removes itself from the list.
  while (ComponentCount() > 0)
    delete Components(ComponentCount() - 1);
}

} // namespace Id
