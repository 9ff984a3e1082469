#include "DrbdFixture.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "DiskFixture.h"
#include "NamespaceChild.h"
#include "config/DrbdMirrorConfig.h"
#include "framework/MachineController.h"
#include "storage/DrbdTimings.h"
#include "storage/LinuxDisk.h"
#include "support/Thrown.h"

namespace storage_test {

using Oxbrindale::Velmora::Framework::MachineController;

using Oxbrindale::Velmora::Config::DrbdMirrorConfig;
using Oxbrindale::Velmora::Config::__DrbdHostProperty;
using Oxbrindale::Velmora::Framework::DrbdTimings;

namespace {

const char kFdiskOutput[] =
    "Disk /dev/sdq: 64 KiB, 65536 bytes, 128 sectors\n"
    "Device     Boot Start   End Sectors Size Id Type\n"
    "/dev/sdq1          1    40      40  20K 83 Linux\n"
    "/dev/sdq2         41    80      40  20K 83 Linux\n"
    "/dev/sdq3         81   127      47  23K 83 Linux\n";

const char kPartitions[] =
    "major minor  #blocks  name\n"
    "\n"
    "   8      256         64 sdq\n"
    "   8      257         20 sdq1\n"
    "   8      258         20 sdq2\n"
    "   8      259         23 sdq3\n";

// A shell word holding text.
std::string _Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

}  // namespace

std::string DrbdThrown(const std::function<void()>& call) {
  const std::pair<std::string, std::string> thrown = tarrow_test::Thrown(call);
  if (thrown.first.empty() && thrown.second.empty()) return "";
  return thrown.first == "DRBD" ? thrown.second : "code " + thrown.first + ": " + thrown.second;
}

DrbdFixture::DrbdFixture() {
  // As in the daemon: a stub that exits before it reads the answers written
  // to its input (create-md) gives a write error, not the end of the test.
  MachineController::SetupProcess();
  dir_.MakeDir("root/dev/disk/by-path");
  dir_.MakeDir("root/proc");
  dir_.MakeDir("root/etc/init.d");
  dir_.MakeDir("bin");
  dir_.MakeDir("app");
  dir_.Write("calls.log", "");
  dir_.Write("root/dev/sdq", std::string(64 * 1024, 'Q'));
  dir_.Write("root/proc/partitions", kPartitions);
  dir_.Write("root/proc/mounts", "proc /proc proc rw,relatime 0 0\n");
  Stub("fdisk", std::string("printf '%s' ") + _Quoted(kFdiskOutput));
  Stub("mount", "");
  // Nothing of a test reaches the real tools of the host.
  for (const char* tool : {"umount", "lsof", "kill", "dd", "drbdadm", "drbdsetup", "service", "lsmod"}) {
    Stub(tool, "exit 0");
  }
  const char* path = getenv("PATH");
  oldPath_ = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
  setenv("PATH", (dir_.File("bin") + ":" + oldPath_).c_str(), 1);
  env_.reset(new tarrow_test::TestEnv(dir_.File("app/"), dir_.File("root")));
}

void DrbdFixture::TakePartitionList() {
  Oxbrindale::Velmora::Framework::LinuxDisk::GetCachedPartitionList();
  ClearCalls();
}

void DrbdFixture::Isolated(const std::function<void()>& body) {
  int rc = NamespaceChild::Run(NamespaceChild::Options(), [&] {
    TakePartitionList();
    body();
  });
  EXPECT_EQ(NamespaceChild::kPassed, rc) << "the body failed in its child process (see above)";
}

DrbdFixture::~DrbdFixture() {
  env_.reset();
  setenv("PATH", oldPath_.c_str(), 1);
  DrbdTimings::Reset();
}

void DrbdFixture::Stub(const std::string& name, const std::string& body) {
  const std::string file = name.find('/') == std::string::npos ? dir_.File("bin/" + name) : Path(name);
  std::ostringstream script;
  script << "#!/bin/sh\n"
         << "{ printf '%s' " << _Quoted(name) << "; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; printf '\\n'; } >> "
         << _Quoted(dir_.File("calls.log")) << "\n"
         << body << "\n";
  std::ofstream(file) << script.str();
  chmod(file.c_str(), 0755);
}

std::vector<std::string> DrbdFixture::Calls() const {
  std::vector<std::string> calls;
  std::istringstream in(dir_.Read("calls.log"));
  std::string line;
  while (std::getline(in, line)) calls.push_back(line);
  return calls;
}

void DrbdFixture::ClearCalls() { dir_.Write("calls.log", ""); }

std::string DrbdFixture::Path(const std::string& systemPath) const { return dir_.File("root") + systemPath; }

void DrbdFixture::Write(const std::string& systemPath, const std::string& content) {
  dir_.Write("root" + systemPath, content);
}

std::string DrbdFixture::Read(const std::string& systemPath) const { return dir_.Read("root" + systemPath); }

void DrbdFixture::Remove(const std::string& systemPath) { std::filesystem::remove(Path(systemPath)); }

std::string DrbdFixture::VolumeUuid(int n) const {
  return DigestOfImage(Path("/dev/sdq")) + "N" + std::to_string(n);
}

DrbdMirrorConfig* DrbdFixture::Mirror(const std::string& name, int minor, const std::string& aName,
                                      const std::string& aDisk, const std::string& aAddress,
                                      const std::string& bName, const std::string& bDisk,
                                      const std::string& bAddress, int port) {
  DrbdMirrorConfig* mirror = new DrbdMirrorConfig();
  mirror->SetName(name);
  mirror->SetMinor(minor);
  mirror->SetProtocol("C");
  mirror->SetRate(10);
  mirror->SetSharedSecret("s3cret");
  __DrbdHostProperty a;
  a.hostName = aName;
  a.disk = aDisk;
  a.address = aAddress;
  a.port = port;
  __DrbdHostProperty b;
  b.hostName = bName;
  b.disk = bDisk;
  b.address = bAddress;
  b.port = port;
  mirror->SetHostA(a);
  mirror->SetHostB(b);
  return mirror;
}

}  // namespace storage_test
