// Counts of the test process's own resources, to see that nothing leaks: open descriptors
// (handles on Windows) and threads. ProcessFactsPosix.h reads /proc; ProcessFactsWindows.h asks
// the system. -1 when the count cannot be read.
#pragma once

namespace IdTest {

inline int OpenDescriptorCount();
inline int ThreadCount();

} // namespace IdTest

#ifdef _WIN32
#include "support/ProcessFactsWindows.h"
#else
#include "support/ProcessFactsPosix.h"
#endif
