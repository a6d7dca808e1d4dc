// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "idframework/core/IdException.h"

using namespace Id;

TEST(ExceptionTree, FamiliesCatchTheirMembers) {
  try {
    throw EIdConnClosedGracefully();
  } catch (const EIdSilentException& E) {
    EXPECT_STREQ(E.what(), "Connection Closed Gracefully.");
  }
  EXPECT_THROW(throw EIdConnClosedGracefully(), EIdException);
  EXPECT_THROW(throw EIdSocksServerTTLExpiredError(), EIdSocksError);
  EXPECT_THROW(throw EIdTerminateThreadTimeout(), EIdTCPServerError);
  EXPECT_THROW(throw EIdThreadClassNotSpecified(), EIdThreadMgrError);
  EXPECT_THROW(throw EIdCouldNotBindSocket(), EIdSocketHandleError);
  EXPECT_THROW(throw EIdReadTimeout(), Exception);
}

TEST(ExceptionTree, FixedTexts) {
  EXPECT_EQ(EIdClosedSocket().Message(), "Disconnected.");
  EXPECT_EQ(EIdReadTimeout().Message(), "Read Timeout");
  EXPECT_EQ(EIdNotConnected().Message(), "Not Connected");
  EXPECT_EQ(EIdTerminateThreadTimeout().Message(), "Terminate Thread Timeout");
  EXPECT_EQ(EIdThreadTerminateAndWaitFor().Message(),
            "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  EXPECT_EQ(EIdSocksRequestIdentFailed().Message(),
            "Request rejected because the client program and identd report different user-ids.");
  EXPECT_EQ(MakeFileNotFound("a.txt").Message(), "File \"a.txt\" not found");
  EXPECT_EQ(MakeInvalidServiceName("foo").Message(), "foo is not a valid service.");
  EXPECT_EQ(MakeCanNotBindPortInRange(5000, 5002).Message(),
            "Can not bind in port range (5000 - 5002)");
  EXPECT_EQ(MakeInvalidPortRange(9, 3).Message(), "Invalid Port Range (9 - 3)");
}

TEST(ExceptionTree, ServerErrorForMissingTransportHasEmptyMessage) {
  EXPECT_EQ(EIdTCPServerError("").Message(), "");
  EXPECT_EQ(EIdTCPServerError().Message(), "No command handler found.");
}

TEST(ExceptionTree, CarriedNumbers) {
  EIdSocketError S(10054, "x");
  EXPECT_EQ(S.SocketErrorCode(), 10054);
  EIdProtocolReplyError R(550, "no\r\n");
  EXPECT_EQ(R.ReplyCode(), 550);
  EXPECT_EQ(R.Message(), "no\r\n");
}
