// SPDX-License-Identifier: MIT
// Numbered replies: the wire form, the code setters, parsing of any received bytes, copying,
// and looking reply texts up by code.
#include "idframework/core/IdRFCReply.h"

#include <gtest/gtest.h>

#include <random>

#include "idframework/runtime/SysUtils.h"

namespace Id {
namespace {

// A stand-alone reply with a code (through its setter) and lines.
struct Reply : TIdRFCReply {
  Reply(int32_t ACode, std::initializer_list<std::string> ALines) {
    SetNumericCode(ACode);
    SetText(TStringList(ALines));
  }
};

TEST(RFCReplyFormat, NoCodeAndNoLinesIsEmptyAndHasNoContent) {
  TIdRFCReply R;
  EXPECT_EQ(R.FormatReply(), "");
  EXPECT_FALSE(R.HasContent());
}

TEST(RFCReplyFormat, NoCodeSendsOnlyTheLines) {
  EXPECT_EQ(Reply(0, {"a", "b"}).FormatReply(), "a\r\nb\r\n");
  EXPECT_TRUE(Reply(0, {"a"}).HasContent());
  TIdRFCReply Negative;
  Negative.SetCodeAndText(-5, "a");
  EXPECT_EQ(Negative.FormatReply(), "a\r\n");
}

TEST(RFCReplyFormat, CodeWithoutLinesIsTheCodeAlone) {
  EXPECT_EQ(Reply(220, {}).FormatReply(), "220\r\n");
  EXPECT_TRUE(Reply(220, {}).HasContent());
}

TEST(RFCReplyFormat, LastLineTakesABlankEveryOtherAHyphen) {
  EXPECT_EQ(Reply(500, {"x"}).FormatReply(), "500 x\r\n");
  EXPECT_EQ(Reply(500, {"a", "b"}).FormatReply(), "500-a\r\n500 b\r\n");
  EXPECT_EQ(Reply(250, {"a", "", "c"}).FormatReply(), "250-a\r\n250-\r\n250 c\r\n");
}

TEST(RFCReplyFormat, LinesAreSentAsTheyAre) {
  EXPECT_EQ(Reply(250, {"a\r\nb", "250-c"}).FormatReply(), "250-a\r\nb\r\n250 250-c\r\n");
}

TEST(RFCReplyFormat, WireTextUsesTheNumericCodeNotTheTextCode) {
  TIdRFCReply R;
  R.SetTextCode("250");
  R.SetCodeAndText(421, "bye");
  EXPECT_EQ(R.TextCode(), "250");
  EXPECT_EQ(R.FormatReply(), "421 bye\r\n");
}

TEST(RFCReplyCodes, NumericCodeAboveZeroUpdatesTheTextCodeOnly) {
  TIdRFCReply R;
  R.SetNumericCode(250);
  EXPECT_EQ(R.TextCode(), "250");
  R.SetNumericCode(0);
  EXPECT_EQ(R.NumericCode(), 0);
  EXPECT_EQ(R.TextCode(), "250");
  R.SetNumericCode(-1);
  EXPECT_EQ(R.TextCode(), "250");
}

TEST(RFCReplyCodes, TextCodeSetsTheNumericCodeOrZero) {
  TIdRFCReply R;
  R.SetTextCode("354");
  EXPECT_EQ(R.NumericCode(), 354);
  R.SetTextCode("abc");
  EXPECT_EQ(R.NumericCode(), 0);
  EXPECT_EQ(R.TextCode(), "abc");
  R.SetNumericCode(220);
  R.SetTextCode("");
  EXPECT_EQ(R.NumericCode(), 220);
  EXPECT_EQ(R.TextCode(), "");
}

TEST(RFCReplyCodes, SetCodeAndTextSplitsAtEveryKindOfLineEnd) {
  TIdRFCReply R;
  R.SetCodeAndText(200, "a\r\nb\nc\rd");
  EXPECT_EQ(R.NumericCode(), 200);
  EXPECT_EQ(R.TextCode(), "");
  EXPECT_EQ(R.Text(), (TStringList{"a", "b", "c", "d"}));
  R.SetCodeAndText(200, "one\r\n");
  EXPECT_EQ(R.Text(), (TStringList{"one"}));
  R.SetCodeAndText(200, "\n\n");
  EXPECT_EQ(R.Text(), (TStringList{"", ""}));
  R.SetCodeAndText(201, "");
  EXPECT_EQ(R.Text().Count(), 0);
}

TEST(RFCReplyParse, ContinuationReplyYieldsTheCodeAndTheBareLines) {
  TIdRFCReply R;
  R.ParseReplyLines(TStringList{"250-first", "250 second"});
  EXPECT_EQ(R.NumericCode(), 250);
  EXPECT_EQ(R.TextCode(), "250");
  EXPECT_EQ(R.Text(), (TStringList{"first", "second"}));
}

TEST(RFCReplyParse, ParsingTheWireFormGivesTheReplyBack) {
  const Reply Ready(220, {"ready"});
  const Reply Refused(550, {"a", "b c", ""});
  for (const TIdRFCReply* Sent : {&Ready, &Refused}) {
    TStringList Wire;
    Wire.SetText(Sent->FormatReply());
    TIdRFCReply Got;
    Got.ParseReplyLines(Wire);
    EXPECT_EQ(Got.NumericCode(), Sent->NumericCode());
    EXPECT_EQ(Got.Text(), Sent->Text());
  }
}

TEST(RFCReplyParse, CodeWithoutLinesComesBackWithOneEmptyLine) {
  TIdRFCReply R;
  R.ParseReplyLines(TStringList{"220"});
  EXPECT_EQ(R.NumericCode(), 220);
  EXPECT_EQ(R.Text(), (TStringList{""}));
}

TEST(RFCReplyParse, PlainTextGivesTheFirstFourCharactersAsTheTextCode) {
  TIdRFCReply R;
  R.ParseReplyLines(TStringList{"hello world", "ab"});
  EXPECT_EQ(R.TextCode(), "hell");
  EXPECT_EQ(R.NumericCode(), 0);
  EXPECT_EQ(R.Text(), (TStringList{"o world", ""}));
}

TEST(RFCReplyParse, NoLinesLeavesAnEmptyReply) {
  Reply R(250, {"old"});
  R.ParseReplyLines(TStringList{});
  EXPECT_EQ(R.NumericCode(), 0);
  EXPECT_EQ(R.TextCode(), "");
  EXPECT_EQ(R.Text().Count(), 0);
}

TEST(RFCReplyParse, ShortAndBlankFirstLinesAreSafe) {
  TIdRFCReply R;
  R.ParseReplyLines(TStringList{"", "x"});
  EXPECT_EQ(R.NumericCode(), 0);
  EXPECT_EQ(R.TextCode(), "");
  EXPECT_EQ(R.Text(), (TStringList{"", ""}));
  R.ParseReplyLines(TStringList{"25"});
  EXPECT_EQ(R.NumericCode(), 25);
  R.ParseReplyLines(TStringList{" 25-"});
  EXPECT_EQ(R.TextCode(), "25-");
  EXPECT_EQ(R.NumericCode(), 0);
  R.ParseReplyLines(TStringList{"\t\x01\r "});
  EXPECT_EQ(R.TextCode(), "");
}

TEST(RFCReplyParse, BinaryBytesNeverRaise) {
  std::mt19937 Random(12345);
  for (int Round = 0; Round < 2000; ++Round) {
    TStringList Lines;
    const int Count = 1 + static_cast<int>(Random() % 4);
    for (int L = 0; L < Count; ++L) {
      std::string Line(Random() % 9, '\0');
      for (char& C : Line)
        C = static_cast<char>(Random() & 0xFF);
      Lines.Add(Line);
    }
    TIdRFCReply R;
    ASSERT_NO_THROW(R.ParseReplyLines(Lines));
    ASSERT_EQ(R.Text().Count(), Count);
    ASSERT_LE(R.TextCode().size(), 4u);
  }
}

class TOtherItem : public TCollectionItem {
public:
  using TCollectionItem::TCollectionItem;
};

TEST(RFCReplyAssign, CopiesCodeLinesAndTextCodeExactly) {
  TIdRFCReply Source;
  Source.SetTextCode("250");
  Source.SetCodeAndText(421, "closing\r\nnow");
  Reply Dest(200, {"old", "lines"});
  Dest.Assign(Source);
  EXPECT_EQ(Dest.NumericCode(), 421);
  EXPECT_EQ(Dest.TextCode(), "250");
  EXPECT_EQ(Dest.Text(), (TStringList{"closing", "now"}));
  EXPECT_EQ(Dest.FormatReply(), Source.FormatReply());
  // And back from the derived reply into a plain one.
  TIdRFCReply Back;
  Back.Assign(Dest);
  EXPECT_EQ(Back.NumericCode(), 421);
  EXPECT_EQ(Back.TextCode(), "250");
  EXPECT_EQ(Back.Text(), Dest.Text());
}

TEST(RFCReplyAssign, OtherKindsOfItemRaiseTheAssignmentError) {
  Reply R(250, {"a"});
  TOtherItem Other(nullptr);
  EXPECT_THROW(R.AssignTo(Other), EConvertError);
  EXPECT_THROW(R.Assign(Other), EConvertError);
  EXPECT_EQ(R.NumericCode(), 250);
}

TEST(RFCReplies, FindByCodeTakesTheFirstInIndexOrder) {
  TIdRFCReplies Table(nullptr);
  Table.Add()->SetCodeAndText(250, "first");
  Table.Add()->SetCodeAndText(250, "second");
  EXPECT_EQ(Table.FindByCode(250), Table.Items(0));
  EXPECT_EQ(Table.FindByCode(500), nullptr);
  Table.Items(1)->SetIndex(0);
  EXPECT_EQ(Table.FindByCode(250)->Text()[0], "second");
}

TEST(RFCReplies, UpdateReplyTextFillsOnlyAnEmptyTextAndKeepsTheCode) {
  TIdRFCReplies Table(nullptr);
  Table.Add()->SetCodeAndText(220, "from the table");
  Table.Add()->SetCodeAndText(220, "later entry");
  Reply Greeting(220, {});
  Table.UpdateReplyText(Greeting);
  EXPECT_EQ(Greeting.Text(), (TStringList{"from the table"}));
  EXPECT_EQ(Greeting.NumericCode(), 220);

  Reply Own(220, {"own text"});
  Table.UpdateReplyText(Own);
  EXPECT_EQ(Own.Text(), (TStringList{"own text"}));

  Reply Unknown(599, {});
  Table.UpdateReplyText(Unknown);
  EXPECT_EQ(Unknown.Text().Count(), 0);
}

TEST(RFCReplies, TableEntryWithCodeZeroGivesContentToEmptyReplies) {
  TIdRFCReplies Table(nullptr);
  Table.Add()->SetCodeAndText(0, "default text");
  TIdRFCReply Empty;
  ASSERT_FALSE(Empty.HasContent());
  Table.UpdateReplyText(Empty);
  EXPECT_TRUE(Empty.HasContent());
  EXPECT_EQ(Empty.FormatReply(), "default text\r\n");
}

} // namespace
} // namespace Id
