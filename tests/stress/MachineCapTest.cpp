// SPDX-License-Identifier: MIT
// The cap that follows the machine under real control-group limits: a server (MaxConnections 0)
// in a memory group, then in a pids group, takes clients one after another until it refuses one
// with MaxConnectionReply at once, for want of resources, and holds that cap under clients that
// keep coming; it is not killed, serves every client it holds, and serves again once some of its
// clients have left.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "stress/StressSupport.h"
#include "support/ChildProcess.h"

using namespace IdStress;

#ifdef ID_MACHINE_CAP_SERVER
namespace {

// The first line of /proc/self/mountinfo's mounts of type AType whose options hold AOption.
std::string MountPoint(const std::string& AType, const std::string& AOption) {
  std::ifstream Mounts("/proc/self/mountinfo");
  for (std::string Line; std::getline(Mounts, Line);) {
    std::istringstream Fields(Line);
    std::string Skip, Root, Point, Field, Type, Source, Options;
    Fields >> Skip >> Skip >> Skip >> Root >> Point;
    while (Fields >> Field && Field != "-") {
    }
    Fields >> Type >> Source >> Options;
    if (Type == AType && Root == "/" &&
        (AOption.empty() || ("," + Options + ",").find("," + AOption + ",") != std::string::npos))
      return Point;
  }
  return {};
}

// This process's group in the v1 hierarchy of AController, or in the v2 one (AController empty).
std::string OwnGroup(const std::string& AController) {
  std::ifstream Groups("/proc/self/cgroup");
  for (std::string Line; std::getline(Groups, Line);) {
    const size_t First = Line.find(':'), Second = Line.find(':', First + 1);
    const std::string Controllers = Line.substr(First + 1, Second - First - 1);
    if (AController.empty()
            ? Controllers.empty()
            : ("," + Controllers + ",").find("," + AController + ",") != std::string::npos)
      return Line.substr(Second + 1) == "/" ? "" : Line.substr(Second + 1);
  }
  return {};
}

// A group of its own below the test's group, in the v1 hierarchy of a controller or else in the
// v2 one where the test's group hands that controller down; removed once its processes left.
class TControlGroup {
public:
  explicit TControlGroup(const std::string& AController) {
    std::string Parent = MountPoint("cgroup", AController);
    if (!Parent.empty()) {
      Parent += OwnGroup(AController);
    } else if (!(Parent = MountPoint("cgroup2", "")).empty()) {
      Parent += OwnGroup("");
      FVersion2 = true;
      if (IdTest::ReadTextFile(Parent + "/cgroup.subtree_control").find(AController) ==
          std::string::npos)
        return;
    }
    const std::string Path = Parent + "/id-test-" + std::to_string(::getpid()) + "-" + AController;
    if (!Parent.empty() && ::mkdir(Path.c_str(), 0755) == 0) FPath = Path;
  }
  ~TControlGroup() {
    if (!FPath.empty())
      IdTest::WaitFor([&] { return ::rmdir(FPath.c_str()) == 0 || errno != EBUSY; },
                      IdTest::FactLimit);
  }
  TControlGroup(const TControlGroup&) = delete;
  TControlGroup& operator=(const TControlGroup&) = delete;

  const std::string& Path() const noexcept { return FPath; }
  bool Version2() const noexcept { return FVersion2; }
  bool Write(const std::string& AFile, const std::string& AValue) const {
    std::ofstream Out(FPath + "/" + AFile);
    Out << AValue << std::flush;
    return static_cast<bool>(Out);
  }
  std::string Read(const std::string& AFile) const {
    return IdTest::ReadTextFile(FPath + "/" + AFile);
  }
  int64_t Number(const std::string& AFile) const { return std::atoll(Read(AFile).c_str()); }
  // The value of the line "AKey N" of a file such as memory.oom_control; -1 when absent.
  int64_t Keyed(const std::string& AFile, const std::string& AKey) const {
    std::istringstream In(Read(AFile));
    std::string Key;
    int64_t Value = 0;
    while (In >> Key >> Value)
      if (Key == AKey) return Value;
    return -1;
  }

private:
  std::string FPath;
  bool FVersion2 = false;
};

int64_t ResidentKiBOf(pid_t APid) {
  std::istringstream Status(IdTest::ReadTextFile("/proc/" + std::to_string(APid) + "/status"));
  for (std::string Line; std::getline(Status, Line);)
    if (Line.rfind("VmRSS:", 0) == 0) return std::atoll(Line.c_str() + 6);
  return -1;
}

// What RunToRefusal saw: the clients held at the first refusal and once refused on fresh
// readings, how long the refused client waited for its reply, and the server's resident memory.
struct TRefusal {
  int HeldAtFirst = 0;
  int Held = 0;
  int64_t Ms = 0;
  int64_t ResidentKiB = 0;
};

// The cap is read again before a refusal once its reading is 100 ms old, and at most a second
// after the last reading otherwise.
constexpr auto PastRefusalReading = 150ms;
constexpr auto PastReading = 1100ms;

// Opens clients one after another, each greeted and then held silent, until one is refused;
// the time to its reply goes to ASeen. False when the server refused none of AMost.
bool FillUntilRefused(int32_t APort, std::vector<IdTest::TRawPeer>& AHeld, size_t AMost,
                      TRefusal& ASeen) {
  while (AHeld.size() < AMost) {
    const auto Start = TClock::now();
    IdTest::TRawPeer Client(APort);
    const std::string Reply = Client.ReadLine();
    ASeen.Ms = ElapsedMs(Start);
    if (Reply != "200 ready") return Reply == "421 busy";
    AHeld.push_back(std::move(Client));
  }
  return false;
}

// Starts the server in AGroup and fills it with silent clients until it refuses one on a fresh
// reading of its limits: each refusal comes at once with the reply. Then the server is alive,
// every held client is served a line, and once half of them left, the next is served at once.
// AWhileFull runs when the server is full.
TRefusal RunToRefusal(const TControlGroup& AGroup, const std::function<void()>& AWhileFull) {
  constexpr size_t MostClients = 4000;
  const TDescriptorLimit Room(MostClients + 512); // for the server too: it is not the limit
  const IdTest::TTempDir Dir;
  IdTest::TChildProcess Server;
  TRefusal Seen;
  EXPECT_TRUE(Server.Start({ID_MACHINE_CAP_SERVER, AGroup.Path()}, Dir.File("server.log")));
  const int32_t Port = Server.WaitForListeningPort();
  EXPECT_NE(Port, 0) << "exit code " << Server.ExitCode() << ": " << Server.Log();
  if (Port == 0) return Seen;
  std::vector<IdTest::TRawPeer> Held;
  Held.reserve(MostClients);
  EXPECT_TRUE(FillUntilRefused(Port, Held, MostClients, Seen)) << Held.size() << " held";
  Seen.HeldAtFirst = static_cast<int>(Held.size());
  // Clients that keep coming get the fresh readings: the cap holds under them too.
  for (size_t Before = 0; Before != Held.size() && !Server.Exited();) {
    Before = Held.size();
    std::this_thread::sleep_for(PastRefusalReading);
    EXPECT_TRUE(FillUntilRefused(Port, Held, MostClients, Seen)) << Held.size() << " held";
  }
  Seen.Held = static_cast<int>(Held.size());
  Seen.ResidentKiB = ResidentKiBOf(Server.Pid());
  AWhileFull();
  int Echoed = 0;
  for (IdTest::TRawPeer& Client : Held)
    Echoed += Client.SendLine("line") && Client.ReadLine() == "line" ? 1 : 0;
  EXPECT_EQ(Echoed, Seen.Held) << "every client held is served";
  EXPECT_FALSE(Server.Exited()) << "killed: " << Server.Log();

  Held.resize(Held.size() / 2);
  std::this_thread::sleep_for(PastReading);
  IdTest::TRawPeer Later(Port);
  Later.SendLine("refused");
  EXPECT_EQ(Later.ReadLine(), "200 ready") << "served on a fresh reading once clients left";
  EXPECT_GE(std::atoi(Later.ReadLine().c_str()), 1) << "the refusals, for want of resources";
  EXPECT_EQ(Server.Log(), "") << "no thread or descriptor ran short";
  EXPECT_FALSE(Server.Exited());
  return Seen;
}

void Report(const TRefusal& ASeen) {
  testing::Test::RecordProperty("HeldAtFirstRefusal", ASeen.HeldAtFirst);
  testing::Test::RecordProperty("HeldAtRefusal", ASeen.Held);
  testing::Test::RecordProperty("RefusalMs", static_cast<int>(ASeen.Ms));
  testing::Test::RecordProperty("ServerResidentKiB", static_cast<int>(ASeen.ResidentKiB));
}

} // namespace

TEST(MachineCap, InAMemoryGroupTheServerRefusesInTimeAndIsNotKilled) {
  // Instrumented threads take several times the memory the cap assumes for a connection (with
  // the address sanitizer, 240 clients fill 38.5 of 40 MiB).
  if (Sanitized) GTEST_SKIP() << "a sanitizer's threads take more memory than the cap assumes";
  const TControlGroup Group("memory");
  if (Group.Path().empty()) GTEST_SKIP() << "no memory control group can be made here";
  const int64_t Limit = 40 << 20;
  ASSERT_TRUE(Group.Write(Group.Version2() ? "memory.max" : "memory.limit_in_bytes",
                          std::to_string(Limit)));
  const std::string Usage = Group.Version2() ? "memory.current" : "memory.usage_in_bytes";
  int64_t UsageAtRefusal = 0;
  const TRefusal Seen = RunToRefusal(Group, [&] { UsageAtRefusal = Group.Number(Usage); });
  Report(Seen);
  RecordProperty("GroupUsageKiBAtRefusal", static_cast<int>(UsageAtRefusal / 1024));
  EXPECT_LT(UsageAtRefusal, Limit);
  if (Group.Version2()) {
    EXPECT_LE(Group.Keyed("memory.events", "oom_kill"), 0); // -1: not counted by this kernel
  } else {
    EXPECT_LE(Group.Keyed("memory.oom_control", "oom_kill"), 0);
    RecordProperty("FailCount", static_cast<int>(Group.Number("memory.failcnt")));
  }
}

TEST(MachineCap, InAPidsGroupTheServerRefusesBeforeItsThreadsRunOut) {
  const TControlGroup Group("pids");
  if (Group.Path().empty()) GTEST_SKIP() << "no pids control group can be made here";
  // Enough for the fixed reserve of threads to be under half the room: the threads of clients
  // that left, parked for reuse, must count as room then, or they keep new clients out.
  constexpr int PidsMax = 100;
  ASSERT_TRUE(Group.Write("pids.max", std::to_string(PidsMax)));
  int64_t PidsAtRefusal = 0;
  const TRefusal Seen = RunToRefusal(Group, [&] { PidsAtRefusal = Group.Number("pids.current"); });
  Report(Seen);
  RecordProperty("PidsAtRefusal", static_cast<int>(PidsAtRefusal));
  EXPECT_LT(PidsAtRefusal, PidsMax) << "a thread to spare";
}
#endif
