// SPDX-License-Identifier: MIT
#include "gui/Form.h"

#include <mutex>
#include <utility>
#include <vector>

namespace Id {

namespace {

using TNameTable = std::vector<std::pair<std::string, int32_t>>;

const TNameTable& ColorNames() {
  static const TNameTable Names = {
      {"clBlack", clBlack},
      {"clMaroon", clMaroon},
      {"clGreen", clGreen},
      {"clOlive", clOlive},
      {"clNavy", clNavy},
      {"clPurple", clPurple},
      {"clTeal", clTeal},
      {"clGray", clGray},
      {"clSilver", clSilver},
      {"clRed", clRed},
      {"clLime", clLime},
      {"clYellow", clYellow},
      {"clBlue", clBlue},
      {"clFuchsia", clFuchsia},
      {"clAqua", clAqua},
      {"clWhite", clWhite},
      {"clMenu", clMenu},
      {"clWindow", clWindow},
      {"clMenuText", clMenuText},
      {"clWindowText", clWindowText},
      {"clHighlight", clHighlight},
      {"clHighlightText", clHighlightText},
      {"clBtnFace", clBtnFace},
      {"clBtnShadow", clBtnShadow},
      {"clGrayText", clGrayText},
      {"clBtnText", clBtnText},
      {"clBtnHighlight", clBtnHighlight},
  };
  return Names;
}

const TNameTable& CharsetNames() {
  static const TNameTable Names = {
      {"ANSI_CHARSET", ANSI_CHARSET},
      {"DEFAULT_CHARSET", DEFAULT_CHARSET},
      {"SYMBOL_CHARSET", SYMBOL_CHARSET},
      {"MAC_CHARSET", 77},
      {"SHIFTJIS_CHARSET", 128},
      {"HANGEUL_CHARSET", 129},
      {"GB2312_CHARSET", 134},
      {"CHINESEBIG5_CHARSET", 136},
      {"GREEK_CHARSET", 161},
      {"TURKISH_CHARSET", 162},
      {"HEBREW_CHARSET", 177},
      {"ARABIC_CHARSET", 178},
      {"BALTIC_CHARSET", 186},
      {"RUSSIAN_CHARSET", 204},
      {"THAI_CHARSET", 222},
      {"EASTEUROPE_CHARSET", 238},
      {"OEM_CHARSET", OEM_CHARSET},
  };
  return Names;
}

const TNameTable& FontStyleNames() {
  static const TNameTable Names = {{"fsBold", fsBold},
                                   {"fsItalic", fsItalic},
                                   {"fsUnderline", fsUnderline},
                                   {"fsStrikeOut", fsStrikeOut}};
  return Names;
}

TFontStyles StylesOf(const TDescValue& AValue) {
  TFontStyles Styles = 0;
  for (const std::string& Member : AValue.AsSet())
    Styles |=
        static_cast<TFontStyles>(TDescValue::Ident(Member, AValue.Line()).AsEnum(FontStyleNames()));
  return Styles;
}

void RegisterFontProperties(TDescriptionClass<TForm>& AClass) {
  AClass
      .Property("Font.Charset",
                [](TForm& F, const TDescValue& V) {
                  F.Font().Charset = static_cast<TFontCharset>(V.AsEnum(CharsetNames(), true));
                })
      .Property(
          "Font.Color",
          [](TForm& F, const TDescValue& V) { F.Font().Color = V.AsEnum(ColorNames(), true); })
      .Property("Font.Height",
                [](TForm& F, const TDescValue& V) { F.Font().Height = V.AsInteger(); })
      .Property("Font.Name", [](TForm& F, const TDescValue& V) { F.Font().Name = V.AsString(); })
      .Property("Font.Style", [](TForm& F, const TDescValue& V) { F.Font().Style = StylesOf(V); });
}

} // namespace

uint32_t ColorToRGB(TColor AColor) {
  if ((static_cast<uint32_t>(AColor) & 0xFF000000u) == 0) {
    const auto BGR = static_cast<uint32_t>(AColor);
    return ((BGR & 0xFF) << 16) | (BGR & 0xFF00) | ((BGR >> 16) & 0xFF);
  }
  switch (AColor) {
  case clBtnFace:
  case clMenu:
    return 0xD4D0C8;
  case clWindow:
  case clHighlightText:
  case clBtnHighlight:
    return 0xFFFFFF;
  case clWindowText:
  case clMenuText:
  case clBtnText:
    return 0x000000;
  case clHighlight:
    return 0x0A246A;
  case clBtnShadow:
  case clGrayText:
    return 0x808080;
  default:
    return 0x808080;
  }
}

TForm::TForm(TComponent* AOwner) : TComponent(AOwner) {
  RegisterFormClass();
}

TForm::~TForm() {
  // A derived form's fields are gone by now: forget them before the children are freed.
  FPublished = TPublishedTable();
  DestroyComponents();
}

void TForm::RegisterFormClass() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    auto Class = RegisterComponentClass<TForm>("TForm");
    Class.Property("Left", [](TForm& F, const TDescValue& V) { F.SetLeft(V.AsInteger()); })
        .Property("Top", [](TForm& F, const TDescValue& V) { F.SetTop(V.AsInteger()); })
        .Property("Width", [](TForm& F, const TDescValue& V) { F.SetWidth(V.AsInteger()); })
        .Property("Height", [](TForm& F, const TDescValue& V) { F.SetHeight(V.AsInteger()); })
        .Property("Caption", [](TForm& F, const TDescValue& V) { F.SetCaption(V.AsString()); })
        .Property("Color",
                  [](TForm& F, const TDescValue& V) { F.SetColor(V.AsEnum(ColorNames(), true)); })
        .Property("OldCreateOrder",
                  [](TForm& F, const TDescValue& V) { F.SetOldCreateOrder(V.AsBoolean()); })
        .Property("PixelsPerInch",
                  [](TForm& F, const TDescValue& V) { F.SetPixelsPerInch(V.AsInteger()); })
        .Property("TextHeight",
                  [](TForm& F, const TDescValue& V) { F.SetTextHeight(V.AsInteger()); });
    RegisterFontProperties(Class);
  });
}

void TForm::SetLeft(int AValue) {
  FLeft = AValue;
  UpdateWindowBounds();
}

void TForm::SetTop(int AValue) {
  FTop = AValue;
  UpdateWindowBounds();
}

void TForm::SetWidth(int AValue) {
  FWidth = AValue;
  UpdateWindowBounds();
}

void TForm::SetHeight(int AValue) {
  FHeight = AValue;
  UpdateWindowBounds();
}

void TForm::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove) FPublished.ClearReferences(AComponent);
  TComponent::Notification(AComponent, AOperation);
}

void TForm::LoadDescription(std::string_view ADescription, const std::string& ASource) {
  ReadDescription(*this, FPublished, ADescription, ASource);
}

} // namespace Id
