// SPDX-License-Identifier: MIT
// The form's window over FLTK (X11).
#include <FL/Enumerations.H>
#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>

#include "gui/Application.h"
#include "gui/Form.h"

namespace Id {

class TFormWindow : public Fl_Window {
public:
  using Fl_Window::Fl_Window;
};

namespace {

// Colour components as the windowing toolkit wants them.
Fl_Color ToFlColor(TColor AColor) {
  const uint32_t RGB = ColorToRGB(AColor);
  return fl_rgb_color(static_cast<uchar>(RGB >> 16), static_cast<uchar>(RGB >> 8),
                      static_cast<uchar>(RGB));
}

} // namespace

void TFormWindowDelete::operator()(TFormWindow* AWindow) const noexcept {
  delete AWindow;
}

void TForm::SetCaption(const std::string& AValue) {
  FCaption = AValue;
  if (FWindow) FWindow->copy_label(FCaption.c_str());
}

void TForm::SetColor(TColor AValue) {
  FColor = AValue;
  if (!FWindow) return;
  FWindow->color(ToFlColor(FColor));
  FWindow->redraw();
}

void TForm::UpdateWindowBounds() {
  if (FWindow) FWindow->resize(FLeft, FTop, FWidth, FHeight);
}

void TForm::Show() {
  FVisible = true;
  if (!WindowSessionOpen()) return;
  if (!FWindow) {
    FWindow.reset(new TFormWindow(FLeft, FTop, FWidth, FHeight));
    FWindow->end();
    FWindow->copy_label(FCaption.c_str());
    FWindow->color(ToFlColor(FColor));
    FWindow->resizable(FWindow.get());
    FWindow->callback(&TForm::WindowCallback, this);
  }
  FWindow->show();
}

void TForm::Close() {
  FVisible = false;
  if (FWindow) FWindow->hide();
}

unsigned long TForm::WindowHandle() const {
  if (!FWindow || !FWindow->shown()) return 0;
  return static_cast<unsigned long>(fl_xid(FWindow.get()));
}

void TForm::WindowCallback(Fl_Widget*, void* AForm) {
  // The toolkit also calls this for the Escape key; a form is closed only by the window manager.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
  static_cast<TForm*>(AForm)->Close();
}

} // namespace Id
