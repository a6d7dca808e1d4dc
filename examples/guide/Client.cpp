// SPDX-License-Identifier: MIT
// A client of the line protocol: connects with a time limit, directly or through a SOCKS 5
// proxy, reads the greeting, sends one command and prints the reply.
//
//   guide_client <host> <port> <command> [<socks host> <socks port>]
#include <cstdio>
#include <cstdlib>

#include <idframework/connection/IdClient.h>

using namespace Id;

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "usage: %s <host> <port> <command> [<socks host> <socks port>]\n",
                 argv[0]);
    return 2;
  }
  TIdTCPClient Client;
  if (argc == 6) { // the proxy resolves <host> itself
    Client.SocksInfo().SetVersion(TSocksVersion::svSocks5);
    Client.SocksInfo().SetHost(argv[4]);
    Client.SocksInfo().SetPort(std::atoi(argv[5]));
  }
  try {
    Client.Connect(argv[1], std::atoi(argv[2]), 5000); // at most 5 s to connect
    Client.SetReadTimeout(10000);                      // each read waits 10 s at most
    Client.ReadReply({200});                           // the greeting
    Client.SendCommand(argv[3], {});                   // {}: any code is accepted
    std::fputs(Client.LastReply().FormatReply().c_str(), stdout);
    Client.CloseConnection();
  } catch (const EIdConnectTimeout&) {
    std::fprintf(stderr, "no connection within 5 s\n");
    return 1;
  } catch (const Exception& E) { // every failure of the framework is an Id::Exception
    std::fprintf(stderr, "failed: %s\n", E.what());
    return 1;
  }
  return 0;
}
