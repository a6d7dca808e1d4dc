// SPDX-License-Identifier: MIT
// The form's window over Win32: a window class of our own, one top-level window per form.
#include "gui/Application.h"
#include "gui/Form.h"

// After the form headers: the system headers define some of their constant names as macros.
#include <windows.h>

namespace Id {

namespace {

constexpr const char* FormWindowClass = "TIdForm";

// The brush that paints a colour: the system's own for system colours, one made for others.
HBRUSH BrushOf(TColor AColor, bool& AOwned) {
  AOwned = false;
  if ((static_cast<uint32_t>(AColor) & 0xFF000000u) == static_cast<uint32_t>(clSystemColor))
    if (HBRUSH System = ::GetSysColorBrush(static_cast<int>(AColor & 0xFF))) return System;
  const uint32_t RGB = ColorToRGB(AColor);
  AOwned = true;
  return ::CreateSolidBrush(
      static_cast<COLORREF>(((RGB & 0xFF) << 16) | (RGB & 0xFF00) | ((RGB >> 16) & 0xFF)));
}

} // namespace

/// One form's window. The window's user data points back at the form while the window exists.
class TFormWindow {
public:
  explicit TFormWindow(TForm& AForm) : FForm(AForm) {
    RegisterWindowClass();
    FHandle = ::CreateWindowExA(0, FormWindowClass, AForm.Caption().c_str(), WS_OVERLAPPEDWINDOW,
                                AForm.Left(), AForm.Top(), AForm.Width(), AForm.Height(), nullptr,
                                nullptr, ::GetModuleHandleA(nullptr), this);
  }
  TFormWindow(const TFormWindow&) = delete;
  TFormWindow& operator=(const TFormWindow&) = delete;
  ~TFormWindow() {
    if (FHandle) ::DestroyWindow(FHandle);
  }

  HWND Handle() const noexcept { return FHandle; }

private:
  static void RegisterWindowClass() {
    static const ATOM Class = [] {
      WNDCLASSEXA C{};
      C.cbSize = sizeof(C);
      C.style = CS_HREDRAW | CS_VREDRAW;
      C.lpfnWndProc = &TFormWindow::WindowProc;
      C.hInstance = ::GetModuleHandleA(nullptr);
      C.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
      C.hIcon = ::LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
      C.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
      C.lpszClassName = FormWindowClass;
      return ::RegisterClassExA(&C);
    }();
    (void)Class;
  }

  static LRESULT CALLBACK WindowProc(HWND AWindow, UINT AMessage, WPARAM AW, LPARAM AL) {
    if (AMessage == WM_NCCREATE) {
      auto* Create = reinterpret_cast<CREATESTRUCTA*>(AL);
      ::SetWindowLongPtrA(AWindow, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(Create->lpCreateParams));
    }
    auto* Self = reinterpret_cast<TFormWindow*>(::GetWindowLongPtrA(AWindow, GWLP_USERDATA));
    if (!Self) return ::DefWindowProcA(AWindow, AMessage, AW, AL);
    switch (AMessage) {
    case WM_CLOSE:
      // The close request closes the form; the window itself lives on with the form.
      Self->FForm.Close();
      return 0;
    case WM_ERASEBKGND:
      Self->PaintBackground(reinterpret_cast<HDC>(AW));
      return 1;
    case WM_NCDESTROY:
      ::SetWindowLongPtrA(AWindow, GWLP_USERDATA, 0);
      Self->FHandle = nullptr;
      break;
    default:
      break;
    }
    return ::DefWindowProcA(AWindow, AMessage, AW, AL);
  }

  void PaintBackground(HDC ADC) const {
    RECT Client;
    ::GetClientRect(FHandle, &Client);
    bool Owned = false;
    HBRUSH Brush = BrushOf(FForm.Color(), Owned);
    ::FillRect(ADC, &Client, Brush);
    if (Owned) ::DeleteObject(Brush);
  }

  TForm& FForm;
  HWND FHandle = nullptr;
};

void TFormWindowDelete::operator()(TFormWindow* AWindow) const noexcept {
  delete AWindow;
}

void TForm::SetCaption(const std::string& AValue) {
  FCaption = AValue;
  if (FWindow && FWindow->Handle()) ::SetWindowTextA(FWindow->Handle(), FCaption.c_str());
}

void TForm::SetColor(TColor AValue) {
  FColor = AValue;
  if (FWindow && FWindow->Handle()) ::InvalidateRect(FWindow->Handle(), nullptr, TRUE);
}

void TForm::UpdateWindowBounds() {
  if (FWindow && FWindow->Handle())
    ::MoveWindow(FWindow->Handle(), FLeft, FTop, FWidth, FHeight, TRUE);
}

void TForm::Show() {
  FVisible = true;
  if (!WindowSessionOpen()) return;
  if (!FWindow) FWindow.reset(new TFormWindow(*this));
  if (!FWindow->Handle()) return; // no window could be made: the form is only marked visible
  ::ShowWindow(FWindow->Handle(), SW_SHOWNORMAL);
  ::UpdateWindow(FWindow->Handle());
}

void TForm::Close() {
  FVisible = false;
  if (FWindow && FWindow->Handle()) ::ShowWindow(FWindow->Handle(), SW_HIDE);
}

unsigned long TForm::WindowHandle() const {
  if (!FWindow || !FWindow->Handle()) return 0;
  // Window handles are 32-bit values on 64-bit Windows too.
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(FWindow->Handle()));
}

} // namespace Id
