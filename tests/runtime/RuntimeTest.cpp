// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdio>

#include "idframework/core/IdGlobal.h"
#include "idframework/runtime/Collection.h"
#include "idframework/runtime/Component.h"
#include "idframework/runtime/CriticalSection.h"
#include "idframework/runtime/ScopeExit.h"
#include "idframework/runtime/Stream.h"
#include "idframework/runtime/StringList.h"
#include "idframework/runtime/SysUtils.h"

using namespace Id;

TEST(SysUtils, FormatPlaceholders) {
  EXPECT_EQ(Format("Socket Error # %d\r\n%s", {int64_t(10061), std::string("x")}),
            "Socket Error # 10061\r\nx");
  EXPECT_EQ(Format("100%%", {}), "100%");
  EXPECT_THROW(Format("%d", {std::string("a")}), EConvertError);
  EXPECT_THROW(Format("%s %s", {std::string("a")}), EConvertError);
}

TEST(SysUtils, StrToInt) {
  EXPECT_EQ(StrToInt("80"), 80);
  EXPECT_EQ(StrToInt("-12"), -12);
  EXPECT_EQ(StrToInt("007"), 7);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt("  5"), 5);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_THROW(StrToInt(""), EConvertError);
  EXPECT_THROW(StrToInt("x"), EConvertError);
  EXPECT_THROW(StrToInt("5 "), EConvertError);
  EXPECT_THROW(StrToInt("2147483648"), EConvertError);
  EXPECT_EQ(StrToIntDef("nope", 9), 9);
}

TEST(SysUtils, TrimAndCase) {
  EXPECT_EQ(Trim("\t a b \r\n"), "a b");
  EXPECT_EQ(UpperCase("abz\xe4"), "ABZ\xe4");
  EXPECT_TRUE(SameText("LocalHost", "LOCALHOST"));
  EXPECT_FALSE(SameText("a", "ab"));
}

namespace {
class TProbe : public TComponent {
public:
  TProbe(TComponent* AOwner, std::vector<std::string>* ALog) : TComponent(AOwner), FLog(ALog) {}
  ~TProbe() override { FLog->push_back("free " + Name()); }
  void Notification(TComponent* C, TOperation Op) override {
    TComponent::Notification(C, Op);
    if (Op == TOperation::opRemove) {
      FLog->push_back(Name() + " hears " + C->Name());
      if (C == Peer) Peer = nullptr;
    }
  }
  TComponent* Peer = nullptr; // not owned; cleared on removal notice
  std::vector<std::string>* FLog;
};
} // namespace

TEST(Component, OwnerFreesOwnedAndNotifiesPeers) {
  std::vector<std::string> Log;
  auto Owner = std::make_unique<TProbe>(nullptr, &Log);
  Owner->SetName("owner");
  auto* A = new TProbe(Owner.get(), &Log);
  A->SetName("a");
  TProbe B(nullptr, &Log);
  B.SetName("b");
  B.Peer = A;
  A->FreeNotification(&B);
  EXPECT_EQ(Owner->ComponentCount(), 1);
  EXPECT_EQ(Owner->FindComponent("A"), A);
  Owner.reset();
  EXPECT_EQ(B.Peer, nullptr);
  EXPECT_NE(std::find(Log.begin(), Log.end(), "free a"), Log.end());
  EXPECT_THROW(B.Components(0), EListError);
}

TEST(Component, FreeingAnOwnedComponentLeavesTheOwner) {
  std::vector<std::string> Log;
  TProbe Owner(nullptr, &Log);
  auto* A = new TProbe(&Owner, &Log);
  delete A;
  EXPECT_EQ(Owner.ComponentCount(), 0);
}

TEST(Component, LoadedClearsLoadingAndDesigningIsInherited) {
  TComponent Owner(nullptr);
  Owner.SetComponentStateFlag(csDesigning, true);
  TComponent Child(&Owner);
  EXPECT_TRUE(Child.IsDesigning());
  Child.SetComponentStateFlag(csLoading, true);
  Child.Loaded();
  EXPECT_FALSE(Child.IsLoading());
}

namespace {
class TItem : public TCollectionItem {
public:
  using TCollectionItem::TCollectionItem;
  int Value = 0;
  void Assign(const TCollectionItem& S) override { Value = static_cast<const TItem&>(S).Value; }
};
} // namespace

TEST(Collection, ItemsHaveStableIdsAndIndexes) {
  TOwnedCollectionOf<TItem> C(nullptr);
  TItem* A = C.Add();
  TItem* B = C.Add();
  EXPECT_EQ(A->ID(), 0);
  EXPECT_EQ(B->ID(), 1);
  B->SetIndex(0);
  EXPECT_EQ(C.Items(0), B);
  EXPECT_EQ(A->Index(), 1);
  C.Delete(0);
  EXPECT_EQ(C.Add()->ID(), 2);
  EXPECT_EQ(C.FindItemID(0), A);
  EXPECT_THROW(C.Items(5), EListError);
  A->Value = 7;
  TOwnedCollectionOf<TItem> D(nullptr);
  D.Assign(C);
  ASSERT_EQ(D.Count(), 2);
  EXPECT_EQ(D.Items(0)->Value, 7);
}

TEST(StringList, LinesObjectsAndText) {
  TStringList L;
  L.AddObject("a", 3);
  L.Add("b");
  EXPECT_EQ(L.Text(), "a\r\nb\r\n");
  EXPECT_EQ(L.Objects(0), 3);
  EXPECT_EQ(L.IndexOf("B"), 1);
  EXPECT_THROW(L[2], EListError);
  L.SetText("x\r\ny\nz");
  EXPECT_EQ(L.Count(), 3);
  EXPECT_EQ(L[2], "z");
}

TEST(Stream, MemoryStreamReadWriteSeek) {
  TMemoryStream M;
  M.WriteBuffer("hello", 5);
  EXPECT_EQ(M.Size(), 5);
  M.SetPosition(1);
  char Buf[4];
  EXPECT_EQ(M.Read(Buf, 4), 4);
  EXPECT_EQ(std::string(Buf, 4), "ello");
  EXPECT_EQ(M.Read(Buf, 4), 0);
  EXPECT_THROW(M.ReadBuffer(Buf, 1), EReadError);
  M.Clear();
  EXPECT_EQ(M.Size(), 0);
  EXPECT_EQ(M.Memory(), nullptr);
}

TEST(Stream, FileStreamAndCopy) {
  const std::string Name = TempDirectory() + "idrt_stream_test.bin";
  {
    TFileStream F(Name, fmCreate);
    TMemoryStream M;
    M.WriteBuffer("0123456789", 10);
    EXPECT_EQ(F.CopyFrom(M, 0), 10);
  }
  TFileStream R(Name, fmOpenRead);
  EXPECT_EQ(R.Size(), 10);
  std::remove(Name.c_str());
  EXPECT_THROW(TFileStream("/nonexistent/dir/x", fmOpenRead), EFOpenError);
}

TEST(ThreadList, GuardedTraversal) {
  TThreadList<int> L;
  L.Add(1);
  L.Add(2);
  {
    TLockedList Locked(L);
    EXPECT_EQ(Locked->size(), 2u);
  }
  EXPECT_TRUE(L.Remove(1));
  EXPECT_FALSE(L.Remove(1));
}

TEST(LockRuleDeathTest, UserCodeUnderAFrameworkLockEndsTheProcessInCheckedBuilds) {
#if defined(ID_LOCK_CHECKS)
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TMutex Lock;
  AssertNoLockHeld("OnNothing"); // no lock: nothing happens
  EXPECT_DEATH(
      {
        TLockGuard<TMutex> Guard(Lock);
        AssertNoLockHeld("OnSomething");
      },
      "OnSomething called while its thread holds 1 framework lock");
#else
  GTEST_SKIP() << "a build without the lock checks";
#endif
}

TEST(ScopeExit, RunsOnBothWaysOutAndKeepsTheExceptionPassing) {
  int Runs = 0;
  {
    TScopeExit Count([&] { ++Runs; });
  }
  EXPECT_EQ(Runs, 1);
  EXPECT_THROW(
      {
        TScopeExit Count([&] { ++Runs; });
        throw EConvertError("first");
      },
      EConvertError);
  EXPECT_EQ(Runs, 2);
  try {
    TScopeExit Fails([] { throw EListError("second"); });
    throw EConvertError("first");
  } catch (const Exception& E) {
    EXPECT_STREQ(E.what(), "first") << "the exception passing wins";
  }
  EXPECT_THROW({ TScopeExit Fails([] { throw EListError("alone"); }); }, EListError);
}
