// SPDX-License-Identifier: MIT
// Forms read their window properties from a description; headless (no window session).
#include "gui/Form.h"

#include <gtest/gtest.h>

#include <mutex>

namespace Id {
namespace {

class TDescribedForm : public TForm {
public:
  TDescribedForm(TComponent* AOwner, const std::string& ADescription) : TForm(AOwner) {
    static std::once_flag Once;
    std::call_once(Once, [] { RegisterComponentClass<TDescribedForm>("TDescribedForm", "TForm"); });
    LoadDescription(ADescription, "TDescribedForm");
  }
};

TEST(FormDescription, SetsTheWindowPropertiesAndTheFont) {
  TDescribedForm Form(nullptr, R"(object Main: TDescribedForm
  Left = 12
  Top = 34
  Width = 560
  Height = 78
  Caption = 'Main window'
  Color = clRed
  Font.Charset = RUSSIAN_CHARSET
  Font.Color = clBlue
  Font.Height = -13
  Font.Name = 'Tahoma'
  Font.Style = [fsBold, fsUnderline]
  OldCreateOrder = True
  PixelsPerInch = 120
  TextHeight = 16
end)");
  EXPECT_EQ(Form.Name(), "Main");
  EXPECT_EQ(Form.Left(), 12);
  EXPECT_EQ(Form.Top(), 34);
  EXPECT_EQ(Form.Width(), 560);
  EXPECT_EQ(Form.Height(), 78);
  EXPECT_EQ(Form.Caption(), "Main window");
  EXPECT_EQ(Form.Color(), clRed);
  EXPECT_EQ(Form.Font().Charset, 204);
  EXPECT_EQ(Form.Font().Color, clBlue);
  EXPECT_EQ(Form.Font().Height, -13);
  EXPECT_EQ(Form.Font().Name, "Tahoma");
  EXPECT_EQ(Form.Font().Style, fsBold | fsUnderline);
  EXPECT_TRUE(Form.OldCreateOrder());
  EXPECT_EQ(Form.PixelsPerInch(), 120);
  EXPECT_EQ(Form.TextHeight(), 16);
}

TEST(FormDescription, ColoursAndCharsetsMayBeStoredAsNumbers) {
  TDescribedForm Form(nullptr,
                      "object F: TDescribedForm\n Color = $00FF00\n Font.Charset = 0\nend");
  EXPECT_EQ(Form.Color(), clLime);
  EXPECT_EQ(Form.Font().Charset, ANSI_CHARSET);
}

TEST(FormDescription, UnknownIdentifiersAreReadErrors) {
  auto Read = [](const std::string& AText) {
    try {
      TDescribedForm Form(nullptr, AText);
    } catch (const EReadError& E) {
      return E.Message();
    }
    return std::string("no error");
  };
  EXPECT_EQ(Read("object F: TDescribedForm\n Font.Style = [fsBold, fsShiny]\nend"),
            "TDescribedForm, line 2: F.Font.Style: Invalid property value");
  EXPECT_EQ(Read("object F: TDescribedForm\n Color = clPaleBlue\nend"),
            "TDescribedForm, line 2: F.Color: Invalid property value");
  EXPECT_EQ(Read("object F: TDescribedForm\n Font.Charset = KLINGON_CHARSET\nend"),
            "TDescribedForm, line 2: F.Font.Charset: Invalid property value");
  EXPECT_EQ(Read("object F: TDescribedForm\n ClientWidth = 3\nend"),
            "TDescribedForm, line 2: Property F.ClientWidth does not exist");
}

TEST(FormColours, ResolveToRGB) {
  EXPECT_EQ(ColorToRGB(clBtnFace), 0xD4D0C8u);
  EXPECT_EQ(ColorToRGB(clWindowText), 0x000000u);
  EXPECT_EQ(ColorToRGB(clRed), 0xFF0000u) << "stored as 0x00BBGGRR";
  EXPECT_EQ(ColorToRGB(clNavy), 0x000080u);
  EXPECT_EQ(ColorToRGB(0x123456), 0x563412u);
}

TEST(FormHeadless, ShowAndCloseOnlyChangeVisibility) {
  TForm Form(nullptr);
  Form.Show();
  EXPECT_TRUE(Form.Visible());
  EXPECT_EQ(Form.WindowHandle(), 0u);
  Form.Close();
  EXPECT_FALSE(Form.Visible());
}

} // namespace
} // namespace Id
