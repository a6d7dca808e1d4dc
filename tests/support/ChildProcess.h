// SPDX-License-Identifier: MIT
// Real programs as child processes of a test (SOCKS proxies, load balancers, openssl): a private
// temporary folder for their files, starting a program as a direct child with its output in a
// log, finding the loopback port it listens on, and stopping and reaping it. Linux only.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/RawPeer.h"
#include "support/WaitFor.h"

extern char** environ;

namespace IdTest {

/// A folder of its own under /tmp, removed with everything in it at the end. Readable by all,
/// since some programs read their files after dropping privileges.
class TTempDir {
public:
  TTempDir() {
    char Template[] = "/tmp/id-test-XXXXXX";
    if (::mkdtemp(Template)) FPath = Template;
    ::chmod(FPath.c_str(), 0755);
  }
  ~TTempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const noexcept { return FPath; }
  std::string File(const std::string& AName) const { return FPath + "/" + AName; }

private:
  std::string FPath;
};

inline void WriteTextFile(const std::string& APath, const std::string& AText, mode_t AMode = 0644) {
  std::ofstream(APath, std::ios::binary | std::ios::trunc) << AText;
  ::chmod(APath.c_str(), AMode);
}

inline std::string ReadTextFile(const std::string& APath) {
  std::ifstream In(APath, std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

/// True when APath is an executable file.
inline bool IsProgram(const std::string& APath) {
  return ::access(APath.c_str(), X_OK) == 0;
}

/// A port on 127.0.0.1 that was free a moment ago, for programs that cannot be told to take
/// any port; their start is retried when another process took it meanwhile.
inline int32_t RecentlyFreeLoopbackPort() {
  return TRawListener().Port();
}

/// A TCP socket of a process on 127.0.0.1: its state as the kernel writes it ("0A" listening,
/// "01" connected) and the ports of its two ends.
struct TLoopbackSocket {
  std::string State;
  int32_t LocalPort = 0;
  int32_t RemotePort = 0;
};

/// The TCP sockets on 127.0.0.1 that process APid holds.
inline std::vector<TLoopbackSocket> LoopbackSocketsOf(pid_t APid) {
  std::set<std::string> Inodes;
  const std::string FdDir = "/proc/" + std::to_string(APid) + "/fd";
  if (DIR* Dir = ::opendir(FdDir.c_str())) {
    while (dirent* Entry = ::readdir(Dir)) {
      char Target[64] = {};
      const std::string Link = FdDir + "/" + Entry->d_name;
      if (::readlink(Link.c_str(), Target, sizeof(Target) - 1) > 0 &&
          std::string(Target).rfind("socket:[", 0) == 0)
        Inodes.insert(std::string(Target + 8, std::strlen(Target) - 9));
    }
    ::closedir(Dir);
  }
  std::vector<TLoopbackSocket> Sockets;
  std::ifstream Table("/proc/" + std::to_string(APid) + "/net/tcp");
  std::string Line;
  std::getline(Table, Line); // heading
  while (std::getline(Table, Line)) {
    std::istringstream Fields(Line);
    std::string Slot, Local, Remote, State, Queues, Timer, Retransmits, Uid, Timeout, Inode;
    Fields >> Slot >> Local >> Remote >> State >> Queues >> Timer >> Retransmits >> Uid >>
        Timeout >> Inode;
    // 0100007F is 127.0.0.1 as the kernel prints it.
    if (Local.rfind("0100007F:", 0) == 0 && Inodes.count(Inode))
      Sockets.push_back({State, static_cast<int32_t>(std::stoi(Local.substr(9), nullptr, 16)),
                         static_cast<int32_t>(std::stoi(Remote.substr(9), nullptr, 16))});
  }
  return Sockets;
}

/// The ports on 127.0.0.1 that process APid listens on.
inline std::set<int32_t> ListeningPortsOf(pid_t APid) {
  std::set<int32_t> Ports;
  for (const TLoopbackSocket& Socket : LoopbackSocketsOf(APid))
    if (Socket.State == "0A") Ports.insert(Socket.LocalPort);
  return Ports;
}

/// True when process APid holds the end of a connection whose other end has port APeerPort.
inline bool HoldsConnectionFrom(pid_t APid, int32_t APeerPort) {
  for (const TLoopbackSocket& Socket : LoopbackSocketsOf(APid))
    if (Socket.State == "01" && Socket.RemotePort == APeerPort) return true;
  return false;
}

/// A program run as a direct child of the test, standard input from /dev/null, standard output
/// and error appended to a log file. Stop() (also run by the destructor) ends and reaps it.
class TChildProcess {
public:
  TChildProcess() = default;
  ~TChildProcess() { Stop(); }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  /// False when the program could not be started.
  bool Start(const std::vector<std::string>& AArgs, const std::string& ALogPath) {
    Stop();
    FLogPath = ALogPath;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 1, ALogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    std::vector<char*> Argv;
    for (const std::string& Arg : AArgs)
      Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    const int Failed = ::posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (Failed) FPid = -1;
    FExited = Failed != 0;
    return !Failed;
  }

  pid_t Pid() const noexcept { return FPid; }
  /// True once the child has ended (it is reaped then).
  bool Exited() {
    if (!FExited && FPid > 0 && ::waitpid(FPid, &FStatus, WNOHANG) == FPid) FExited = true;
    return FExited;
  }
  /// The exit code after Exited(), or -1 when a signal ended it.
  int ExitCode() const { return WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : -1; }
  /// Waits for the end without limit and returns the exit code.
  int Wait() {
    if (!FExited && FPid > 0 && ::waitpid(FPid, &FStatus, 0) == FPid) FExited = true;
    return ExitCode();
  }
  /// SIGTERM, then SIGKILL when it has not ended 10 s later; reaps it.
  void Stop() {
    if (FPid <= 0 || Exited()) return;
    ::kill(FPid, SIGTERM);
    if (!WaitFor([&] { return Exited(); }, std::chrono::seconds(10))) {
      ::kill(FPid, SIGKILL);
      Wait();
    }
  }
  std::string Log() const { return ReadTextFile(FLogPath); }

  /// Waits (20 s at most) until the child listens on 127.0.0.1 and returns the port, or
  /// returns 0 when the child ended first.
  int32_t WaitForListeningPort(int32_t AExpected = 0) {
    int32_t Port = 0;
    WaitFor(
        [&] {
          for (int32_t P : ListeningPortsOf(FPid))
            if (AExpected == 0 || P == AExpected) Port = P;
          return Port != 0 || Exited();
        },
        std::chrono::seconds(20));
    return Port;
  }

private:
  pid_t FPid = -1;
  int FStatus = 0;
  bool FExited = true;
  std::string FLogPath;
};

/// Runs a program to its end and returns its exit code (-1 when it could not run).
inline int RunToEnd(const std::vector<std::string>& AArgs, const std::string& ALogPath) {
  TChildProcess Child;
  return Child.Start(AArgs, ALogPath) ? Child.Wait() : -1;
}

} // namespace IdTest
