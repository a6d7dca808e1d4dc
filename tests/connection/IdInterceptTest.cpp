// SPDX-License-Identifier: MIT
#include "idframework/connection/IdIntercept.h"
#include "idframework/connection/IdTCPConnection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace Id;

namespace {

// Two linked intercepts that log every event with their name.
struct TChain {
  std::vector<std::string> Log;
  std::unique_ptr<TIdConnectionIntercept> Outer = std::make_unique<TIdConnectionIntercept>(nullptr);
  std::unique_ptr<TIdConnectionIntercept> Inner = std::make_unique<TIdConnectionIntercept>(nullptr);

  TChain() {
    Outer->SetNestedIntercept(Inner.get());
    Hook(*Outer, "A");
    Hook(*Inner, "B");
  }
  void Hook(TIdConnectionIntercept& I, const std::string& N) {
    I.OnConnect = [this, N](TIdConnectionIntercept*) { Log.push_back(N + ".connect"); };
    I.OnDisconnect = [this, N](TIdConnectionIntercept*) { Log.push_back(N + ".disconnect"); };
    I.OnSend = [this, N](TIdConnectionIntercept*, TStream& S) {
      Log.push_back(N + ".send");
      S.Seek(0, TSeekOrigin::soEnd);
      S.WriteBuffer(N.data(), 1);
    };
    I.OnReceive = [this, N](TIdConnectionIntercept*, TStream& S) {
      Log.push_back(N + ".receive");
      S.Seek(0, TSeekOrigin::soEnd);
      S.WriteBuffer(N.data(), 1);
    };
  }
};

std::string Contents(TMemoryStream& S) {
  return std::string(S.Memory() ? S.Memory() : "", static_cast<size_t>(S.Size()));
}

} // namespace

TEST(InterceptChain, SendRunsOuterThenInner) {
  TChain C;
  TMemoryStream S;
  S.WriteBuffer("x", 1);
  S.SetPosition(0);
  C.Outer->InterceptSend(S);
  EXPECT_EQ(C.Log, (std::vector<std::string>{"A.send", "B.send"}));
  EXPECT_EQ(Contents(S), "xAB") << "the innermost link makes the wire bytes";
  EXPECT_EQ(S.Position(), 0);
}

TEST(InterceptChain, ReceiveRunsInnerThenOuter) {
  TChain C;
  TMemoryStream S;
  S.WriteBuffer("x", 1);
  S.SetPosition(0);
  C.Outer->InterceptReceive(S);
  EXPECT_EQ(C.Log, (std::vector<std::string>{"B.receive", "A.receive"}));
  EXPECT_EQ(Contents(S), "xBA");
  EXPECT_EQ(S.Position(), 0);
}

TEST(InterceptChain, ConnectOuterFirstDisconnectInnerFirst) {
  TChain C;
  TIdTCPConnection Connection(nullptr);
  TIdTCPConnection* Conn = &Connection;
  C.Outer->InterceptConnect(Conn);
  EXPECT_EQ(C.Outer->AttachedConnection(), Conn);
  EXPECT_EQ(C.Inner->AttachedConnection(), Conn);
  C.Outer->InterceptDisconnect();
  EXPECT_EQ(C.Log,
            (std::vector<std::string>{"A.connect", "B.connect", "B.disconnect", "A.disconnect"}));
  EXPECT_EQ(C.Outer->AttachedConnection(), nullptr);
  EXPECT_EQ(C.Inner->AttachedConnection(), nullptr);
}

TEST(InterceptChain, FailingDisconnectHandlerLeavesTheConnectionAttached) {
  TIdConnectionIntercept I(nullptr);
  TIdTCPConnection Connection(nullptr);
  TIdTCPConnection* Conn = &Connection;
  I.InterceptConnect(Conn);
  I.OnDisconnect = [](TIdConnectionIntercept*) { throw std::runtime_error("x"); };
  EXPECT_THROW(I.InterceptDisconnect(), std::runtime_error);
  EXPECT_EQ(I.AttachedConnection(), Conn);
}

TEST(InterceptChain, WithoutHandlersBytesAndPositionStay) {
  TIdConnectionIntercept Outer(nullptr), Inner(nullptr);
  Outer.SetNestedIntercept(&Inner);
  TMemoryStream S;
  S.WriteBuffer("abc", 3);
  S.SetPosition(2);
  Outer.InterceptSend(S);
  Outer.InterceptReceive(S);
  EXPECT_EQ(Contents(S), "abc");
  EXPECT_EQ(S.Position(), 2) << "only a handler of the link repositions the buffer";
  EXPECT_TRUE(Outer.ClientSide());
}

TEST(InterceptChain, DestroyingTheNestedInterceptClearsTheLink) {
  TIdConnectionIntercept Outer(nullptr);
  auto Inner = std::make_unique<TIdConnectionIntercept>(nullptr);
  Outer.SetNestedIntercept(Inner.get());
  Inner.reset();
  EXPECT_EQ(Outer.NestedIntercept(), nullptr);
  TMemoryStream S;
  Outer.InterceptSend(S); // must not reach the freed link
}
