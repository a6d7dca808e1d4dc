// SPDX-License-Identifier: MIT
#include "app/ServerRegistration.h"

#include <mutex>

#include "gui/DescriptionReader.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/server/IdCommandHandlers.h"
#include "idframework/server/IdTCPServer.h"

namespace Id {

namespace {

using TServerClass = TDescriptionClass<TIdTCPServer>;

void RegisterScalars(TServerClass& AClass) {
  AClass
      .Property("Active", [](TIdTCPServer& S, const TDescValue& V) { S.SetActive(V.AsBoolean()); })
      .Property(
          "CommandHandlersEnabled",
          [](TIdTCPServer& S, const TDescValue& V) { S.SetCommandHandlersEnabled(V.AsBoolean()); })
      .Property("DefaultPort",
                [](TIdTCPServer& S, const TDescValue& V) { S.SetDefaultPort(V.AsInteger()); })
      .Property("ListenQueue",
                [](TIdTCPServer& S, const TDescValue& V) { S.SetListenQueue(V.AsInteger()); })
      .Property("MaxConnections",
                [](TIdTCPServer& S, const TDescValue& V) { S.SetMaxConnections(V.AsInteger()); })
      .Property(
          "ReplyExceptionCode",
          [](TIdTCPServer& S, const TDescValue& V) { S.SetReplyExceptionCode(V.AsInteger()); })
      .Property("ReuseSocket",
                [](TIdTCPServer& S, const TDescValue& V) {
                  S.SetReuseSocket(static_cast<TIdReuseSocket>(
                      V.AsEnum({{"rsOSDependent", int32_t(TIdReuseSocket::rsOSDependent)},
                                {"rsTrue", int32_t(TIdReuseSocket::rsTrue)},
                                {"rsFalse", int32_t(TIdReuseSocket::rsFalse)}})));
                })
      .Property("TerminateWaitTime", [](TIdTCPServer& S, const TDescValue& V) {
        S.SetTerminateWaitTime(V.AsInteger());
      });
}

void RegisterReplies(TServerClass& AClass) {
  AClass
      .Property(
          "Greeting.NumericCode",
          [](TIdTCPServer& S, const TDescValue& V) { S.Greeting().SetNumericCode(V.AsInteger()); })
      .Property("MaxConnectionReply.NumericCode",
                [](TIdTCPServer& S, const TDescValue& V) {
                  S.MaxConnectionReply().SetNumericCode(V.AsInteger());
                })
      .Property("ReplyUnknownCommand.NumericCode", [](TIdTCPServer& S, const TDescValue& V) {
        S.ReplyUnknownCommand().SetNumericCode(V.AsInteger());
      });
  AClass
      .Collection<TIdRFCReply>("ReplyTexts",
                               [](TIdTCPServer& S) -> TCollection& { return S.ReplyTexts(); })
      .Property("NumericCode",
                [](TIdRFCReply& R, const TDescValue& V) { R.SetNumericCode(V.AsInteger()); });
  // Command handler items have no stored properties here yet: only an empty collection reads.
  AClass.Collection<TIdCommandHandler>(
      "CommandHandlers", [](TIdTCPServer& S) -> TCollection& { return S.CommandHandlers(); });
}

void RegisterBindingsAndEvents(TServerClass& AClass) {
  AClass
      .Collection<TIdSocketHandle>("Bindings",
                                   [](TIdTCPServer& S) -> TCollection& { return S.Bindings(); })
      .Property("IP", [](TIdSocketHandle& B, const TDescValue& V) { B.SetIP(V.AsString()); })
      .Property("Port", [](TIdSocketHandle& B, const TDescValue& V) {
        B.SetPort(ConfiguredPort(V.AsInteger()));
      });
  AClass
      .Event<TIdServerThreadEvent>(
          "OnConnect", [](TIdTCPServer& S, TIdServerThreadEvent E) { S.OnConnect = std::move(E); })
      .Event<TIdServerThreadEvent>(
          "OnExecute", [](TIdTCPServer& S, TIdServerThreadEvent E) { S.OnExecute = std::move(E); })
      .Event<TIdServerThreadEvent>("OnDisconnect", [](TIdTCPServer& S, TIdServerThreadEvent E) {
        S.OnDisconnect = std::move(E);
      });
}

} // namespace

void RegisterServerClasses() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    auto Class = RegisterComponentClass<TIdTCPServer>("TIdTCPServer");
    RegisterScalars(Class);
    RegisterReplies(Class);
    RegisterBindingsAndEvents(Class);
  });
}

} // namespace Id
