#ifndef TARROW_TESTS_RESOURCE_NETRIG_H
#define TARROW_TESTS_RESOURCE_NETRIG_H

// The network rig of the address tests: two network namespaces of this test
// process, the node and the reference host, joined by a veth pair named eth0
// on both sides (node 192.0.2.1/24, reference host 192.0.2.2/24). The test
// runs itself again inside the node namespace; the host's network is never
// touched, and the namespaces (with the pair) are removed when the test ends.
//
//   TEST_F(IPResourceRig, Something) {
//     NET_RIG_OR_RETURN();   // outside: runs the test in the rig, then returns
//     ... the body, inside the node namespace ...
//   }

#include <string>
#include <vector>

#include "framework/CommandRunner.h"
#include "support/SkipRule.h"
#include "support/TestEnv.h"

namespace resource_test {

// Runs real commands and keeps each command line (arguments joined by one
// blank) for the test to read.
class RecordingRunner : public Oxbrindale::Velmora::Framework::CommandRunner {
 public:
  int System(const std::string& command) override;
  Oxbrindale::Velmora::Framework::CommandResult Run(const std::vector<std::string>& argv, long timeoutMs,
                                                    bool captureOutput) override;
  std::vector<std::string> Commands();
  // Command lines that start with prefix.
  std::vector<std::string> CommandsStarting(const std::string& prefix);
  void Clear();
};

// The Env of the network tests: the resource tests' program directory and
// the recording runner of real commands.
class NetEnv : public tarrow_test::TestEnv {
 public:
  // The one of the process (created on first use, never freed).
  static NetEnv& Get();
  Oxbrindale::Velmora::Framework::CommandRunner* Runner() override { return &runner; }
  RecordingRunner runner;

 private:
  explicit NetEnv(const std::string& appPath) : TestEnv(appPath) {}
};

class NetRig {
 public:
  // This process runs inside the rig.
  static bool Inside();
  // Outside: builds the rig, runs the current test inside it and removes the
  // rig. false (with why) when no rig can be made here.
  static bool RunCurrentTestInside(std::string* why);

  // A command on the reference host (inside the rig); its output in *output.
  static int OnRef(const std::vector<std::string>& args, std::string* output = nullptr);
  // A command in the node namespace (this process's).
  static int OnNode(const std::vector<std::string>& args, std::string* output = nullptr);
  // The node's eth0 hardware address.
  static std::string NodeMac();
  // The node reaches the reference host (waits for the link).
  static bool WaitReachable(const std::string& address, long ms = 30000);
};

}  // namespace resource_test

#define NET_RIG_OR_RETURN()                                                              \
  do {                                                                                   \
    if (!::resource_test::NetRig::Inside()) {                                            \
      std::string why_;                                                                  \
      if (!::resource_test::NetRig::RunCurrentTestInside(&why_)) {                       \
        TARROW_SKIP_UNLESS_PRIVILEGED(why_);                                             \
      }                                                                                  \
      return;                                                                            \
    }                                                                                    \
  } while (0)

#endif
