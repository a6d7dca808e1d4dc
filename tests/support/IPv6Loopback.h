// SPDX-License-Identifier: MIT
// Whether the host has an IPv6 loopback address: a container may run with IPv6 switched off,
// and the IPv6 cases then skip instead of failing.
#pragma once

#include "idframework/core/IdException.h"
#include "idframework/net/IdSocketHandle.h"

namespace IdTest {

/// True when a socket can be bound to ::1 here (asked once per process).
inline bool HasIPv6Loopback() {
  static const bool Has = [] {
    try {
      Id::TIdSocketHandle Probe;
      Probe.SetIPVersion(Id::TIdIPVersion::ivIPv6);
      Probe.OpenSocket();
      Probe.SetIP("::1");
      Probe.BindLocal();
      return true;
    } catch (const Id::Exception&) {
      return false;
    }
  }();
  return Has;
}

} // namespace IdTest

/// Skips the current test where the host has no IPv6 loopback address.
#define ID_SKIP_WITHOUT_IPV6()                                                                     \
  if (!IdTest::HasIPv6Loopback()) GTEST_SKIP() << "this host has no IPv6 loopback address"
