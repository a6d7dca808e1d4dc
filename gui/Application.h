// SPDX-License-Identifier: MIT
// The application object: start-up, the main form, the message loop and error display.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "gui/Form.h"
#include "idframework/runtime/Component.h"
#include "idframework/runtime/SysUtils.h"

namespace Id {

/// True once TApplication::Initialize has opened the display; forms then get real windows.
bool WindowSessionOpen() noexcept;

/// Runs a program of forms. Initialize chooses between a window session (an X display is
/// reachable) and headless mode (DISPLAY unset or the connection fails). The application owns
/// the forms it creates; the first is the main form, and closing it ends Run. In both modes
/// SIGINT and SIGTERM close the main form. Everything but Terminate runs on the main thread.
class TApplication : public TComponent {
public:
  explicit TApplication(TComponent* AOwner);
  ~TApplication() override;

  /// Opens the display, or chooses headless mode and says so once on standard error; installs
  /// the SIGINT/SIGTERM handling. Later calls do nothing.
  void Initialize();

  /// Creates a T owned by the application (its constructor reads its description), stores it in
  /// AReference and makes it the main form if it is the first. AReference is cleared when the
  /// form is freed. Raises what the form's constructor raises; AReference is then unchanged.
  template <class T> void CreateForm(T*& AReference) {
    static_assert(std::is_base_of_v<TForm, T>, "CreateForm makes forms");
    T* Form = new T(this);
    AReference = Form;
    FFormReferences.push_back({Form, [&AReference] { AReference = nullptr; }});
    if (!FMainForm) FMainForm = Form;
  }

  /// Shows the main form and runs the message loop until the main form is closed (by the window
  /// manager, a signal or Close) or Terminate is called; then frees the forms.
  void Run();

  /// Shows E's message: a message box in a window session, a line on standard error headless.
  /// Never raises.
  void ShowException(const Exception& E) noexcept;

  /// Ends Run's loop soon. Any thread; async-signal-safe.
  void Terminate() noexcept;
  bool Terminated() const noexcept { return FTerminated.load(); }

  TForm* MainForm() const noexcept { return FMainForm; }
  /// The caption of message boxes and the prefix of notices: the program's file name.
  const std::string& Title() const noexcept { return FTitle; }
  void SetTitle(const std::string& ATitle) { FTitle = ATitle; }

  /// Forgets a freed form (main form, CreateForm reference).
  void Notification(TComponent* AComponent, TOperation AOperation) override;

private:
  struct TFormReference {
    TComponent* Form;
    std::function<void()> Clear;
  };
  void WaitForEvents();
  void HandleWakeUps();
  void CloseAllWindows();
  void CloseOtherWindows();
  /// Shows AText in a message box; false when there is no window session to show it in.
  bool ShowMessageBox(const std::string& AText);
  void DestroyForms() noexcept;
  static void WakeCallback(int AFd, void* AApplication);

  TForm* FMainForm = nullptr; // owned as a component; cleared on removal notice
  std::vector<TFormReference> FFormReferences;
  std::string FTitle;
  std::atomic<bool> FTerminated{false};
  bool FInitialized = false;
  int FWakeRead = -1; // self-pipe: Terminate and signal handlers write one byte each
  int FWakeWrite = -1;
};

/// The program's application object.
extern TApplication* const Application;

} // namespace Id
