// SPDX-License-Identifier: MIT
// Real load balancers as test peers: HAProxy and nginx's stream module, each started by a test
// on loopback, in front of two servers of the test, with the configurations of
// examples/balancer/ (ports and, for HAProxy, the kind of PROXY protocol header put in by the
// test), and stopped at its end. Linux only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace IdTest {

enum class TBalancerKind { bkHAProxy, bkNginx };

/// What a balancer is started with.
struct TBalancerSetup {
  TBalancerKind Kind = TBalancerKind::bkHAProxy;
  /// The ports of the two instances behind it.
  int32_t Instances[2] = {0, 0};
  /// HAProxy only: what each server line says in place of the example's "send-proxy-v2
  /// proxy-v2-options crc32c" ("send-proxy" for version 1).
  std::string SendProxy;
  /// HAProxy only: listens on [::1] too, at the same port.
  bool IPv6 = false;
};

/// One balancer process; Stop (also run by the destructor) ends it.
class TBalancer {
public:
  static std::string Program(TBalancerKind AKind) {
    return AKind == TBalancerKind::bkHAProxy ? "/usr/sbin/haproxy" : "/usr/sbin/nginx";
  }
  static bool Installed(TBalancerKind AKind) {
    return IsProgram(Program(AKind)) &&
           (AKind == TBalancerKind::bkHAProxy ||
            ::access("/usr/lib/nginx/modules/ngx_stream_module.so", R_OK) == 0);
  }

  /// Starts it on a port of 127.0.0.1 that was free, trying again when another process took the
  /// port meanwhile; false when it does not listen (Log says why).
  bool Start(const TBalancerSetup& ASetup) {
    for (int Try = 0; Try < 3; ++Try) {
      FPort = RecentlyFreeLoopbackPort();
      const std::string Config = FDir.File("balancer.conf");
      WriteTextFile(Config, ConfigText(ASetup));
      std::vector<std::string> Args = {Program(ASetup.Kind), "-db", "-f", Config};
      if (ASetup.Kind == TBalancerKind::bkNginx)
        Args = {Program(ASetup.Kind),
                "-p",
                FDir.Path(),
                "-c",
                Config,
                "-e",
                FDir.File("error.log"),
                "-g",
                "daemon off; pid " + FDir.File("nginx.pid") + ";"};
      if (FProcess.Start(Args, FDir.File("log")) && FProcess.WaitForListeningPort(FPort) == FPort)
        return true;
      FProcess.Stop();
    }
    return false;
  }
  void Stop() { FProcess.Stop(); }

  int32_t Port() const noexcept { return FPort; }
  std::string Log() const { return FProcess.Log() + ReadTextFile(FDir.File("error.log")); }

private:
  static void Replace(std::string& AText, const std::string& AWhat, const std::string& AWith) {
    for (size_t At = AText.find(AWhat); At != std::string::npos;
         At = AText.find(AWhat, At + AWith.size()))
      AText.replace(At, AWhat.size(), AWith);
  }

  // The example's configuration with this run's ports and header kind.
  std::string ConfigText(const TBalancerSetup& ASetup) const {
    std::string Text =
        ReadTextFile(std::string(ID_EXAMPLES_DIR) + "/balancer/" +
                     (ASetup.Kind == TBalancerKind::bkHAProxy ? "haproxy.cfg" : "nginx.conf"));
    const std::string Frontend = "127.0.0.1:" + std::to_string(FPort);
    Replace(Text, "127.0.0.1:7000", Frontend);
    Replace(Text, "127.0.0.1:7001", "127.0.0.1:" + std::to_string(ASetup.Instances[0]));
    Replace(Text, "127.0.0.1:7002", "127.0.0.1:" + std::to_string(ASetup.Instances[1]));
    if (!ASetup.SendProxy.empty())
      Replace(Text, "send-proxy-v2 proxy-v2-options crc32c", ASetup.SendProxy);
    if (ASetup.IPv6)
      Replace(Text, "bind " + Frontend,
              "bind " + Frontend + "\n    bind [::1]:" + std::to_string(FPort));
    return Text;
  }

  TTempDir FDir;
  TChildProcess FProcess;
  int32_t FPort = 0;
};

} // namespace IdTest
