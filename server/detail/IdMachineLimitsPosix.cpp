// SPDX-License-Identifier: MIT
// The limits as Linux has them: getrlimit, /proc, and the control groups of version 1 (one
// hierarchy per controller) or 2 (one hierarchy), found through /proc/self/mountinfo.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "idframework/server/detail/IdMachineLimits.h"

namespace Id {

namespace {

// The first number of a small file ("max" and absent files read as none).
std::optional<int64_t> ReadNumber(const std::string& APath) {
  std::ifstream File(APath);
  int64_t Value = 0;
  if (!(File >> Value)) return std::nullopt;
  return Value;
}

// The value of the line "AKey N" of a file such as memory.stat; 0 when absent.
int64_t ReadKeyed(const std::string& APath, const std::string& AKey) {
  std::ifstream File(APath);
  std::string Key;
  int64_t Value = 0;
  while (File >> Key >> Value)
    if (Key == AKey) return Value;
  return 0;
}

// The line of /proc/self/status that begins with AKey, as a number.
std::optional<int64_t> StatusNumber(const std::string& AKey) {
  std::ifstream Status("/proc/self/status");
  for (std::string Line; std::getline(Status, Line);)
    if (Line.rfind(AKey, 0) == 0) return std::stoll(Line.substr(AKey.size()));
  return std::nullopt;
}

// The process's group path in a hierarchy: of the v2 line "0::" when AController is empty,
// else of the v1 line whose controller list holds AController.
std::optional<std::string> GroupPath(const std::string& AController) {
  std::ifstream Groups("/proc/self/cgroup");
  for (std::string Line; std::getline(Groups, Line);) {
    const size_t First = Line.find(':');
    const size_t Second = Line.find(':', First + 1);
    if (First == std::string::npos || Second == std::string::npos) continue;
    const std::string Controllers = Line.substr(First + 1, Second - First - 1);
    std::stringstream List(Controllers);
    bool Match = AController.empty() && Controllers.empty();
    for (std::string Item; !Match && std::getline(List, Item, ',');)
      Match = Item == AController;
    if (Match) return Line.substr(Second + 1);
  }
  return std::nullopt;
}

// Where a hierarchy is mounted: the mount point and the group path it shows as its root.
struct TMount {
  std::string Point;
  std::string Root;
};

// The mount of the v2 hierarchy (AController empty) or of the v1 one of AController.
std::optional<TMount> HierarchyMount(const std::string& AController) {
  std::ifstream Mounts("/proc/self/mountinfo");
  for (std::string Line; std::getline(Mounts, Line);) {
    std::stringstream Fields(Line);
    std::string Id, Parent, Device, Root, Point, Field;
    Fields >> Id >> Parent >> Device >> Root >> Point;
    while (Fields >> Field && Field != "-") {
    }
    std::string Type, Source, Options;
    Fields >> Type >> Source >> Options;
    const bool Wanted =
        AController.empty()
            ? Type == "cgroup2"
            : Type == "cgroup" &&
                  ("," + Options + ",").find("," + AController + ",") != std::string::npos;
    if (Wanted) return TMount{Point, Root};
  }
  return std::nullopt;
}

// The directories of the process's group and of each group above it, in the hierarchy of
// AController (v1) or in the v2 one, where the group has AFile; nearest first.
std::vector<std::string> GroupDirectories(const std::string& AController,
                                          const std::string& AFile) {
  std::vector<std::string> Directories;
  const std::optional<TMount> Mount = HierarchyMount(AController);
  std::optional<std::string> Path = GroupPath(AController);
  if (!Mount || !Path) return Directories;
  if (Mount->Root != "/" && Path->rfind(Mount->Root, 0) == 0)
    Path = Path->substr(Mount->Root.size());
  for (std::string Relative = *Path;;) {
    const std::string Directory = Mount->Point + (Relative == "/" ? "" : Relative);
    if (::access((Directory + "/" + AFile).c_str(), R_OK) == 0) Directories.push_back(Directory);
    if (Relative.empty() || Relative == "/") break;
    Relative = Relative.substr(0, Relative.rfind('/'));
  }
  return Directories;
}

// Keeps the tighter of two rooms.
void KeepLeast(std::optional<TIdRoom>& ALeast, const TIdRoom& ARoom) {
  if (!ALeast || ARoom.Room < ALeast->Room) ALeast = ARoom;
}

} // namespace

TIdMachineLimits::TIdMachineLimits() {
  FPidsGroups = GroupDirectories("pids", "pids.max");
  if (FPidsGroups.empty()) FPidsGroups = GroupDirectories("", "pids.max");
  FMemoryGroups = GroupDirectories("memory", "memory.limit_in_bytes");
  if (FMemoryGroups.empty()) {
    FMemoryGroups = GroupDirectories("", "memory.max");
    FMemoryVersion2 = true;
  }
}

std::optional<int64_t> TIdMachineLimits::DescriptorLimit() {
  rlimit Limit{};
  if (::getrlimit(RLIMIT_NOFILE, &Limit) != 0 || Limit.rlim_cur == RLIM_INFINITY)
    return std::nullopt;
  return static_cast<int64_t>(Limit.rlim_cur);
}

int64_t TIdMachineLimits::OpenDescriptors() {
  DIR* Directory = ::opendir("/proc/self/fd");
  if (!Directory) return 0;
  int64_t Count = -1; // the directory's own descriptor
  while (dirent* Entry = ::readdir(Directory))
    Count += Entry->d_name[0] != '.' ? 1 : 0;
  ::closedir(Directory);
  return std::max<int64_t>(Count, 0);
}

TIdMachineRoom TIdMachineLimits::ReadRoom() const {
  return TIdMachineRoom{ThreadRoom(), MemoryRoom()};
}

std::optional<TIdRoom> TIdMachineLimits::ThreadRoom() const {
  std::optional<TIdRoom> Least;
  rlimit Limit{};
  const std::optional<int64_t> Own = StatusNumber("Threads:");
  if (::getuid() != 0 && ::getrlimit(RLIMIT_NPROC, &Limit) == 0 &&
      Limit.rlim_cur != RLIM_INFINITY && Own) {
    const auto Most = static_cast<int64_t>(Limit.rlim_cur);
    KeepLeast(Least, {Most - *Own, Most});
  }
  for (const std::string& Group : FPidsGroups) {
    const std::optional<int64_t> Most = ReadNumber(Group + "/pids.max");
    const std::optional<int64_t> Used = ReadNumber(Group + "/pids.current");
    if (Most && Used) KeepLeast(Least, {*Most - *Used, *Most});
  }
  // The fourth field of loadavg is "running/all" scheduling entities.
  std::ifstream Load("/proc/loadavg");
  std::string Skip, Entities;
  const std::optional<int64_t> Most = ReadNumber("/proc/sys/kernel/threads-max");
  if (Load >> Skip >> Skip >> Skip >> Entities && Most && Entities.find('/') != std::string::npos)
    KeepLeast(Least, {*Most - std::stoll(Entities.substr(Entities.find('/') + 1)), *Most});
  return Least;
}

std::optional<TIdRoom> TIdMachineLimits::MemoryRoom() const {
  std::optional<TIdRoom> Least;
  // Version 1 reads an unlimited group as a number near the largest page-aligned int64.
  constexpr int64_t Unlimited = int64_t(1) << 60;
  for (const std::string& Group : FMemoryGroups) {
    const std::optional<int64_t> Most =
        ReadNumber(Group + (FMemoryVersion2 ? "/memory.max" : "/memory.limit_in_bytes"));
    const std::optional<int64_t> Used =
        ReadNumber(Group + (FMemoryVersion2 ? "/memory.current" : "/memory.usage_in_bytes"));
    if (!Most || !Used || *Most >= Unlimited) continue;
    const int64_t Cache =
        ReadKeyed(Group + "/memory.stat", FMemoryVersion2 ? "file" : "total_cache");
    KeepLeast(Least, {*Most - *Used + Cache, *Most});
  }
  return Least;
}

} // namespace Id
