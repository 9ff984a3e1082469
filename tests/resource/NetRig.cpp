#include "resource/NetRig.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "framework/Env.h"
#include "framework/ProcessCommandRunner.h"
#include "resource/ResourceTestSupport.h"

namespace resource_test {

using Oxbrindale::Velmora::Framework::CommandResult;
using Oxbrindale::Velmora::Framework::ProcessCommandRunner;

namespace {

std::mutex g_recordMutex;
std::vector<std::string> g_records;

ProcessCommandRunner& Real() {
  static ProcessCommandRunner* runner = new ProcessCommandRunner();
  return *runner;
}

int Exec(const std::vector<std::string>& argv, std::string* output, long timeoutMs = 60000) {
  CommandResult result = Real().Run(argv, timeoutMs, true);
  if (output != nullptr) *output = result.output;
  return result.status;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

const char* kNodeVar = "TARROW_NETRIG_NODE";
const char* kRefVar = "TARROW_NETRIG_REF";

}  // namespace

int RecordingRunner::System(const std::string& command) {
  {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    g_records.push_back(command);
  }
  return Real().System(command);
}

CommandResult RecordingRunner::Run(const std::vector<std::string>& argv, long timeoutMs, bool captureOutput) {
  std::string line;
  for (const std::string& arg : argv) line += (line.empty() ? "" : " ") + arg;
  {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    g_records.push_back(line);
  }
  return Real().Run(argv, timeoutMs, captureOutput);
}

std::vector<std::string> RecordingRunner::Commands() {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  return g_records;
}

std::vector<std::string> RecordingRunner::CommandsStarting(const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : Commands()) {
    if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
  }
  return found;
}

void RecordingRunner::Clear() {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  g_records.clear();
}

NetEnv& NetEnv::Get() {
  static NetEnv* env = new NetEnv(World::Get().AppPath());  // lives until the process ends
  return *env;
}

bool NetRig::Inside() { return !Env(kNodeVar).empty(); }

bool NetRig::RunCurrentTestInside(std::string* why) {
  static std::atomic<int> counter{0};
  const std::string base = "tarrow-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  const std::string node = base + "-n";
  const std::string ref = base + "-r";
  std::string out;
  // Concurrent first uses of /run/netns may race; try again briefly.
  bool made = false;
  for (int attempt = 0; attempt < 5 && !made; ++attempt) {
    made = Exec({"ip", "netns", "add", node}, &out) == 0;
    if (!made) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (!made) {
    *why = "cannot make a network namespace (ip netns add): " + out;
    return false;
  }
  bool refMade = false;
  for (int attempt = 0; attempt < 5 && !refMade; ++attempt) {
    refMade = Exec({"ip", "netns", "add", ref}, &out) == 0;
    if (!refMade) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  bool ok = refMade;
  const std::vector<std::vector<std::string>> steps = {
      {"ip", "-n", node, "link", "add", "eth0", "type", "veth", "peer", "name", "eth0", "netns", ref},
      {"ip", "-n", node, "link", "set", "lo", "up"},
      {"ip", "-n", ref, "link", "set", "lo", "up"},
      {"ip", "-n", node, "addr", "add", "192.0.2.1/24", "dev", "eth0"},
      {"ip", "-n", ref, "addr", "add", "192.0.2.2/24", "dev", "eth0"},
      {"ip", "netns", "exec", ref, "sysctl", "-q", "-w", "net.ipv4.conf.eth0.arp_accept=1",
       "net.ipv4.neigh.eth0.locktime=0"},
      {"ip", "-n", node, "link", "set", "eth0", "up"},
      {"ip", "-n", ref, "link", "set", "eth0", "up"},
  };
  std::string failed;
  for (size_t i = 0; ok && i < steps.size(); ++i) {
    if (Exec(steps[i], &out) != 0) {
      ok = false;
      for (const std::string& arg : steps[i]) failed += arg + " ";
      failed += ": " + out;
    }
  }
  if (ok) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    std::string self(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", &self[0], self.size() - 1);
    self.resize(n > 0 ? static_cast<size_t>(n) : 0);
    std::string output;
    int status = Exec({"ip", "netns", "exec", node, "env", std::string(kNodeVar) + "=" + node,
                       std::string(kRefVar) + "=" + ref, self, "--gtest_filter=" + filter},
                      &output, 280000);
    EXPECT_EQ(0, status) << "the test failed inside the network rig:\n" << output;
    EXPECT_NE(std::string::npos, output.find("[  PASSED  ] 1 test")) << "the test did not run in the rig:\n"
                                                                      << output;
  } else {
    ADD_FAILURE() << "could not build the network rig: " << failed;
  }
  Exec({"ip", "netns", "del", node}, &out);
  if (refMade) Exec({"ip", "netns", "del", ref}, &out);
  return true;
}

int NetRig::OnRef(const std::vector<std::string>& args, std::string* output) {
  std::vector<std::string> argv = {"ip", "netns", "exec", Env(kRefVar)};
  argv.insert(argv.end(), args.begin(), args.end());
  return Exec(argv, output);
}

int NetRig::OnNode(const std::vector<std::string>& args, std::string* output) { return Exec(args, output); }

std::string NetRig::NodeMac() {
  std::ifstream in("/sys/class/net/eth0/address");
  std::string mac;
  std::getline(in, mac);
  return mac;
}

bool NetRig::WaitReachable(const std::string& address, long ms) {
  return WaitUntil([&] { return Exec({"ping", "-c", "1", "-W", "1", address}, nullptr, 5000) == 0; }, ms);
}

}  // namespace resource_test
