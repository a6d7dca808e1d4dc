// SPDX-License-Identifier: MIT
// Forms: top-level windows described by a stored description, with colours and fonts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "gui/DescriptionReader.h"
#include "idframework/runtime/Component.h"

class Fl_Widget;

namespace Id {

/// The native window of a form; defined by the window layer of each platform.
class TFormWindow;
/// Frees a form's native window; defined by the window layer of each platform, so that the form
/// itself is built once for all of them.
struct TFormWindowDelete {
  void operator()(TFormWindow* AWindow) const noexcept;
};

/// A colour: 0x00BBGGRR, or a system colour (high byte 0xFF, low byte the system index).
using TColor = int32_t;
inline constexpr TColor clSystemColor = static_cast<TColor>(0xFF000000u);
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clMaroon = 0x000080;
inline constexpr TColor clGreen = 0x008000;
inline constexpr TColor clOlive = 0x008080;
inline constexpr TColor clNavy = 0x800000;
inline constexpr TColor clPurple = 0x800080;
inline constexpr TColor clTeal = 0x808000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clSilver = 0xC0C0C0;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clLime = 0x00FF00;
inline constexpr TColor clYellow = 0x00FFFF;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clFuchsia = 0xFF00FF;
inline constexpr TColor clAqua = 0xFFFF00;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clMenu = clSystemColor | 4;
inline constexpr TColor clWindow = clSystemColor | 5;
inline constexpr TColor clMenuText = clSystemColor | 7;
inline constexpr TColor clWindowText = clSystemColor | 8;
inline constexpr TColor clHighlight = clSystemColor | 13;
inline constexpr TColor clHighlightText = clSystemColor | 14;
inline constexpr TColor clBtnFace = clSystemColor | 15;
inline constexpr TColor clBtnShadow = clSystemColor | 16;
inline constexpr TColor clGrayText = clSystemColor | 17;
inline constexpr TColor clBtnText = clSystemColor | 18;
inline constexpr TColor clBtnHighlight = clSystemColor | 20;

/// 0x00RRGGBB of a colour; system colours take the classic desktop scheme (clBtnFace: a light
/// warm grey, 212,208,200). Unknown system indices give mid grey.
uint32_t ColorToRGB(TColor AColor);

using TFontCharset = uint8_t;
inline constexpr TFontCharset ANSI_CHARSET = 0;
inline constexpr TFontCharset DEFAULT_CHARSET = 1;
inline constexpr TFontCharset SYMBOL_CHARSET = 2;
inline constexpr TFontCharset OEM_CHARSET = 255;

enum TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
/// A set of TFontStyle bits.
using TFontStyles = unsigned;

/// The text font of a form. Height is negative for a character height in pixels, as stored.
struct TFont {
  TFontCharset Charset = DEFAULT_CHARSET;
  TColor Color = clWindowText;
  int Height = -11;
  std::string Name = "MS Sans Serif";
  TFontStyles Style = 0;
};

/// A top-level window. Its properties come from the derived class's stored description
/// (LoadDescription). In a window session (see TApplication::Initialize) Show makes a real window
/// at Left,Top of Width x Height with the caption and colour; headless, a form is only marked
/// visible. The window manager's close request closes the form. Main thread only.
class TForm : public TComponent {
public:
  /// AOwner (normally the application) frees the form.
  explicit TForm(TComponent* AOwner);
  ~TForm() override;

  int Left() const noexcept { return FLeft; }
  void SetLeft(int AValue);
  int Top() const noexcept { return FTop; }
  void SetTop(int AValue);
  int Width() const noexcept { return FWidth; }
  void SetWidth(int AValue);
  int Height() const noexcept { return FHeight; }
  void SetHeight(int AValue);
  const std::string& Caption() const noexcept { return FCaption; }
  void SetCaption(const std::string& AValue);
  TColor Color() const noexcept { return FColor; }
  void SetColor(TColor AValue);
  /// Kept for the text of controls; an empty form draws no text.
  TFont& Font() noexcept { return FFont; }
  const TFont& Font() const noexcept { return FFont; }
  /// Stored for compatibility; creation order and scaling do not depend on them here.
  bool OldCreateOrder() const noexcept { return FOldCreateOrder; }
  void SetOldCreateOrder(bool AValue) noexcept { FOldCreateOrder = AValue; }
  int PixelsPerInch() const noexcept { return FPixelsPerInch; }
  void SetPixelsPerInch(int AValue) noexcept { FPixelsPerInch = AValue; }
  int TextHeight() const noexcept { return FTextHeight; }
  void SetTextHeight(int AValue) noexcept { FTextHeight = AValue; }

  /// Shows the form (creating its window in a window session).
  void Show();
  /// Hides the form. Closing the application's main form ends TApplication::Run.
  void Close();
  bool Visible() const noexcept { return FVisible; }
  /// The native window id (X window, Windows window handle) while the form's window exists,
  /// else 0.
  unsigned long WindowHandle() const;

  /// Clears published fields that refer to a removed component.
  void Notification(TComponent* AComponent, TOperation AOperation) override;

  /// Registers "TForm" and its stored window properties with the description reader. Called by
  /// the constructor; idempotent and thread-safe.
  static void RegisterFormClass();

protected:
  /// The fields and methods a derived form publishes for its description.
  TPublishedTable& Published() noexcept { return FPublished; }
  /// Reads ADescription (compiled into the program) into this form; see ReadDescription for what
  /// it does and raises. A derived form calls it at the end of its constructor, after publishing.
  void LoadDescription(std::string_view ADescription, const std::string& ASource);

private:
  void UpdateWindowBounds();
  static void WindowCallback(Fl_Widget* AWindow, void* AForm);

  int FLeft = 0;
  int FTop = 0;
  int FWidth = 320;
  int FHeight = 240;
  std::string FCaption;
  TColor FColor = clBtnFace;
  TFont FFont;
  bool FOldCreateOrder = false;
  int FPixelsPerInch = 96;
  int FTextHeight = 13;
  bool FVisible = false;
  TPublishedTable FPublished;
  // Exists from the first Show in a window session.
  std::unique_ptr<TFormWindow, TFormWindowDelete> FWindow;
};

} // namespace Id
