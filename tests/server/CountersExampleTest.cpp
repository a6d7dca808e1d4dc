// SPDX-License-Identifier: MIT
// The example that serves a line server's counters as Prometheus text on a port of its own.
#include <gtest/gtest.h>

#include <string>

#include "server/ServerTestSupport.h"
#include "support/ChildProcess.h"

using namespace IdTest;

TEST(CountersExample, AScrapeTellsTheClientsServedAndTheirBytes) {
#ifndef ID_COUNTERSSERVER
  GTEST_SKIP() << "the examples are not built";
#else
  const TTempDir Dir;
  TChildProcess Example;
  ASSERT_TRUE(Example.Start({ID_COUNTERSSERVER}, Dir.File("example.log")));
  ASSERT_TRUE(WaitFor([&] { return Example.Log().find('\n') != std::string::npos; }));
  const std::string Log = Example.Log();
  const int32_t Port = std::stoi(Log.substr(Log.find(':') + 1));
  const int32_t MetricsPort = std::stoi(Log.substr(Log.rfind(':') + 1));
  {
    TRawPeer Client(Port);
    ASSERT_EQ(Client.ReadLine(), "200 Line server ready");
    Client.SendLine("QUIT");
    EXPECT_EQ(Client.ReadLine(), "221 Bye");
  }
  TRawPeer Scraper(MetricsPort);
  Scraper.Send("GET /metrics HTTP/1.0\r\n\r\n");
  const std::string Text = Scraper.ReadUntilClosed();
  EXPECT_EQ(Text.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << Text;
  EXPECT_NE(Text.find("\nlineserver_accepted_total 1\n"), std::string::npos) << Text;
  EXPECT_NE(Text.find("\nlineserver_bytes_total{direction=\"in\"} 6\n"), std::string::npos) << Text;
  EXPECT_NE(Text.find("\nlineserver_refused_total{reason=\"limit\"} 0\n"), std::string::npos);
#endif
}
