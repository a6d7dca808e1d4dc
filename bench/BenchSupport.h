// SPDX-License-Identifier: MIT
// Small helpers shared by the benchmark programs: command-line flags, CPU pinning, monotonic
// time, a stop signal that can be waited on, and loopback sockets.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <system_error>
#include <thread>

namespace Id::Bench {

/// Flags of the form --name value (or --name alone, read as "1"). Throws std::runtime_error on a
/// word that is not a flag or on a number that does not parse.
class TBenchArgs {
public:
  TBenchArgs(int argc, char** argv);
  /// The flag's text, or ADefault when it was not given.
  std::string Str(const std::string& AName, const std::string& ADefault) const;
  /// The flag as an integer, or ADefault when it was not given.
  long Int(const std::string& AName, long ADefault) const;
  /// The flag as a floating-point number, or ADefault when it was not given.
  double Real(const std::string& AName, double ADefault) const;
  bool Has(const std::string& AName) const { return FValues.count(AName) != 0; }

private:
  std::map<std::string, std::string> FValues;
};

/// Pins the calling thread (and the threads it starts afterwards) to one CPU; throws
/// std::runtime_error when the kernel refuses.
void PinToCpu(int ACpu);

/// Monotonic clock in nanoseconds.
uint64_t NowNs();

/// Routes SIGTERM and SIGINT to a pipe so that a thread can wait for them; ignores SIGPIPE.
/// Call once, from the main thread, before starting other threads.
void InstallStopSignal();
/// The read end of the stop pipe: readable once SIGTERM or SIGINT arrived.
int StopSignalFd();
/// Blocks the calling thread until SIGTERM or SIGINT arrives.
void WaitForStopSignal();

/// A blocking TCP socket listening on 127.0.0.1 at APort (0: any free port) with ABacklog.
/// Throws std::runtime_error on failure.
int ListenLoopback(int APort, int ABacklog);
/// The local port of a bound socket.
int LocalPort(int AFd);
/// A blocking TCP socket connected to 127.0.0.1 at APort whose sends and receives give up after
/// ATimeoutS. Throws std::runtime_error on failure.
int ConnectLoopback(int APort, double ATimeoutS);
/// Sends ABytes of filler in blocks of 1 MiB; returns how many went out before a failure.
uint64_t SendFiller(int AFd, uint64_t ABytes);

/// The --stack-kib flag of the thread-per-connection servers: 0 (the default) for the system's
/// default stack, else a stack size in KiB. Throws std::runtime_error on a size below the system's
/// minimum.
long StackKibArg(const TBenchArgs& AArgs);

/// Starts a detached thread running AEntry(AArg) with a stack of AStackKib KiB. False when the
/// thread could not be started. Throws std::runtime_error on a stack size the system refuses.
bool StartDetachedPthread(void* (*AEntry)(void*), void* AArg, long AStackKib);

template <void (*AFunction)(int)> void* RunWithDescriptor(void* AArg) {
  AFunction(int(reinterpret_cast<intptr_t>(AArg)));
  return nullptr;
}

/// Runs AFunction(AFd) on a new detached thread: a std::thread with the system's default stack
/// when AStackKib is 0, else a thread whose stack is AStackKib KiB (started without any heap
/// allocation). False when the thread could not be started (AFunction did not run). Throws
/// std::runtime_error on a stack size the system refuses.
template <void (*AFunction)(int)> bool StartDetachedThread(int AFd, long AStackKib) {
  if (AStackKib > 0)
    return StartDetachedPthread(&RunWithDescriptor<AFunction>,
                                reinterpret_cast<void*>(intptr_t(AFd)), AStackKib);
  try {
    std::thread(AFunction, AFd).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

/// Writes "key=value" to stdout as one line and flushes it, for the run script to read.
void PrintFact(const std::string& AKey, const std::string& AValue);

/// Runs a tool's main; a failure is printed as "<name>: <what>" and gives AFailureCode.
int RunTool(const char* AName, int (*AMain)(int, char**), int argc, char** argv,
            int AFailureCode = 1);

} // namespace Id::Bench
