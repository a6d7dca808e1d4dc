// SPDX-License-Identifier: MIT
// A broadcast: every line a client sends goes to every connected client, and SHUTDOWN stops the
// server from a command. A connection is written only by its own peer thread: a line for everyone
// goes into each connection's outbox, and each peer thread, between reads of a tenth of a second,
// sends what waits in its own.
#include <cstdio>
#include <map>
#include <mutex>
#include <semaphore>
#include <string>
#include <utility>
#include <vector>

#include <idframework/server/IdServer.h>

using namespace Id;

// The outboxes of the connected clients; shared by every peer thread, hence the lock.
class TRoom {
public:
  void Join(const TIdPeerThread* AThread) {
    std::lock_guard<std::mutex> Guard(FLock);
    FOutboxes[AThread];
  }
  void Leave(const TIdPeerThread* AThread) {
    std::lock_guard<std::mutex> Guard(FLock);
    FOutboxes.erase(AThread);
  }
  void Post(const std::string& ALine) {
    std::lock_guard<std::mutex> Guard(FLock);
    for (auto& [Thread, Outbox] : FOutboxes)
      Outbox.push_back(ALine);
  }
  std::vector<std::string> Take(const TIdPeerThread* AThread) {
    std::lock_guard<std::mutex> Guard(FLock);
    return std::exchange(FOutboxes[AThread], {});
  }

private:
  std::mutex FLock;
  std::map<const TIdPeerThread*, std::vector<std::string>> FOutboxes;
};

int main() {
  TRoom Room;                       // declared before the server: its events use the room
  std::binary_semaphore Stopped{0}; // released by SHUTDOWN
  TIdTCPServer Server(nullptr);
  Server.Bindings().AddBinding()->SetIP("127.0.0.1");
  Server.OnConnect = [&Room](TIdPeerThread& AThread) { Room.Join(&AThread); };
  Server.OnDisconnect = [&Room](TIdPeerThread& AThread) { Room.Leave(&AThread); };
  Server.OnExecute = [&](TIdPeerThread& AThread) {
    TIdTCPConnection& Connection = *AThread.PeerConnection();
    const std::string Line = Connection.ReadLine("", 100);
    if (Line == "SHUTDOWN") {
      Server.SetActive(false); // closes the other connections and waits for their threads
      Connection.WriteLine("server stopped");
      Connection.CloseConnection();
      Stopped.release();
      return;
    }
    if (!Connection.LineTimedOut()) Room.Post(Line);
    for (const std::string& Text : Room.Take(&AThread))
      Connection.WriteLine(Text);
  };
  Server.SetActive(true);
  std::printf("listening on 127.0.0.1:%d, SHUTDOWN from a client stops\n", Server.BoundPort());
  std::fflush(stdout);
  Stopped.acquire();
} // the destructor waits for the thread that stopped the server
