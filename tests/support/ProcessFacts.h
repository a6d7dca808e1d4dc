// SPDX-License-Identifier: MIT
// Counts of the test process's own resources, to see that nothing leaks: open descriptors
// (handles on Windows) and threads. ProcessFactsPosix.h reads /proc; ProcessFactsWindows.h asks
// the system. -1 when the count cannot be read.
#pragma once

#include "idframework/runtime/Thread.h"

namespace IdTest {

inline int OpenDescriptorCount();
inline int ThreadCount();

} // namespace IdTest

#ifdef _WIN32
#include "support/ProcessFactsWindows.h"
#else
#include "support/ProcessFactsPosix.h"
#endif

namespace IdTest {

/// The process's threads at work: ThreadCount less those parked for the next thread objects.
inline int WorkingThreadCount() {
  return ThreadCount() - Id::TThread::ParkedThreadCount();
}

} // namespace IdTest
