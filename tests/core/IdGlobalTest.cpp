// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <thread>

#include "idframework/core/IdGlobal.h"
#include "idframework/core/IdStrings.h"
#include "idframework/runtime/SysUtils.h"

using namespace Id;

TEST(FetchToken, CutsAtTheDelimiter) {
  std::string S = "hello world";
  EXPECT_EQ(FetchToken(S, " "), "hello");
  EXPECT_EQ(S, "world");
  EXPECT_EQ(FetchToken(S, " "), "world");
  EXPECT_EQ(S, "");
}

TEST(FetchToken, KeepsTheInputWithoutDelete) {
  std::string S = "a b";
  EXPECT_EQ(FetchToken(S, " ", false), "a");
  EXPECT_EQ(S, "a b");
}

TEST(FetchToken, CaseInsensitiveCutsFromTheOriginal) {
  std::string S = "ABCxDEF";
  EXPECT_EQ(FetchToken(S, "X", true, true), "ABCxDEF");
  S = "abcXdef";
  EXPECT_EQ(FetchToken(S, "x", true, false), "abc");
  EXPECT_EQ(S, "def");
}

TEST(FetchToken, MultiCharacterAndNulDelimiters) {
  std::string S = "key::value::x";
  EXPECT_EQ(FetchToken(S, "::"), "key");
  EXPECT_EQ(S, "value::x");
  std::string Z("a\0b", 3);
  EXPECT_EQ(FetchToken(Z, std::string(1, '\0')), "a");
  EXPECT_EQ(Z, "b");
}

TEST(Search, BytePosAndPosFrom) {
  EXPECT_EQ(BytePos("c", "abc"), 3);
  EXPECT_EQ(BytePos("z", "abc"), 0);
  EXPECT_EQ(BytePos("", "abc"), 0);
  EXPECT_EQ(PosFrom("a", "abca", 2), 4);
  EXPECT_EQ(PosFrom("a", "abca", 5), 0);
  EXPECT_EQ(PosFrom("a", "abca", 0), 1);
  EXPECT_EQ(PosFrom("", "abca", 1), 0);
  EXPECT_EQ(PosFrom("abcab", "abca", 1), 0);
}

TEST(Search, FindInMemory) {
  const char Block[] = {'a', 'b', 'c', 'd', '\n'};
  EXPECT_EQ(FindInMemory("\n", Block, 5), 5);
  EXPECT_EQ(FindInMemory("abcdef", Block, 5), 0);
  EXPECT_EQ(FindInMemory("", Block, 5), 0);
  EXPECT_EQ(FindInMemory("cd", Block, 5), 3);
  EXPECT_EQ(FindInMemory("d\n", Block, 5), 4);
  EXPECT_EQ(FindInMemory("\n", Block, 4), 0);
}

TEST(Helpers, MinIntAndPaths) {
  EXPECT_EQ(MinInt(3, -2), -2);
  EXPECT_EQ(MinInt(4, 4), 4);
  const std::string Dir = std::string("tmp") + PathDelim;
  EXPECT_EQ(EnsureTrailingDelimiter("tmp"), Dir);
  EXPECT_EQ(EnsureTrailingDelimiter(Dir), Dir);
  const std::string T = TempDirectory();
  ASSERT_FALSE(T.empty());
  EXPECT_EQ(T.back(), PathDelim);
}

TEST(Helpers, MainThreadIsKnown) {
  EXPECT_TRUE(IsMainThread());
  bool Other = true;
  std::thread([&] { Other = IsMainThread(); }).join();
  EXPECT_FALSE(Other);
}

TEST(SplitFields, SkipsEmptyFieldsButCountsTheirColumns) {
  TStringList L;
  SplitFields("a  b", &L, " ");
  ASSERT_EQ(L.Count(), 2);
  EXPECT_EQ(L[0], "a");
  EXPECT_EQ(L.Objects(0), 1);
  EXPECT_EQ(L[1], "b");
  EXPECT_EQ(L.Objects(1), 4);
}

TEST(SplitFields, TrimmedKeepsColumnsOfTheUntrimmedText) {
  TStringList L;
  SplitFieldsTrimmed("  a , b ", &L, ",");
  ASSERT_EQ(L.Count(), 2);
  EXPECT_EQ(L[0], "a");
  EXPECT_EQ(L.Objects(0), 3);
  EXPECT_EQ(L[1], "b");
  EXPECT_EQ(L.Objects(1), 6);
}

TEST(SplitFields, BlankTextsAndMissingList) {
  TStringList L;
  L.Add("old");
  SplitFieldsTrimmed("   ", &L, ",");
  EXPECT_EQ(L.Count(), 0);
  SplitFieldsTrimmed("a,   ,b", &L, ",");
  ASSERT_EQ(L.Count(), 3);
  EXPECT_EQ(L[1], "");
  EXPECT_THROW(SplitFields("a", nullptr, " "), EAssertionFailed);
  EXPECT_THROW(SplitFieldsTrimmed("a", nullptr, " "), EAssertionFailed);
}
