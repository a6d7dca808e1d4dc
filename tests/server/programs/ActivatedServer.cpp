// SPDX-License-Identifier: MIT
// A service started by systemd-socket-activate for the tests: takes the sockets it was handed,
// prints them and whether LISTEN_FDS is still set, tells the service manager it is ready,
// answers one client of the first socket with "test", and tells it that it stops. Exit code 1
// and the error's text when the sockets cannot be taken.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "idframework/core/IdException.h"
#include "idframework/server/IdSystemd.h"

int main() {
  try {
    const Id::TIdActivatedSockets Sockets = Id::TakeActivatedSockets();
    for (const Id::TIdActivatedSocket& Socket : Sockets)
      std::printf("socket %u %s %s %d\n", Socket.Descriptor(), Socket.Name().c_str(),
                  Socket.IP().c_str(), Socket.Port());
    std::printf("LISTEN_FDS %s\n", std::getenv("LISTEN_FDS") ? "set" : "unset");
    std::fflush(stdout);
    Id::NotifyReady();
    if (Sockets.empty()) return 1;
    const int Client = ::accept(static_cast<int>(Sockets[0].Descriptor()), nullptr, nullptr);
    ::send(Client, "test", 4, MSG_NOSIGNAL);
    ::close(Client);
    Id::NotifyStopping();
    return 0;
  } catch (const Id::Exception& E) {
    std::printf("error %s\n", E.Message().c_str());
    return 1;
  }
}
