#include "PartitionedDisk.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "framework/ProcessCommandRunner.h"
#include "framework/ProcessManager.h"
#include "support/LoopDevice.h"

namespace storage_test {

using Oxbrindale::Velmora::Framework::CommandResult;
using Oxbrindale::Velmora::Framework::ProcessCommandRunner;
using Oxbrindale::Velmora::Framework::ProcessManager;

namespace {

const long kToolTimeoutMs = 60000;

CommandResult _Run(const std::vector<std::string>& argv) {
  ProcessCommandRunner runner;
  return runner.Run(argv, kToolTimeoutMs, true);
}

std::string _ReadTrimmed(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

}  // namespace

PartitionedDisk::PartitionedDisk(const std::string& image, unsigned long long bytes,
                                 const std::vector<unsigned>& partitionMiB, const std::string& labelId,
                                 const std::vector<bool>& formatted)
    : count_(static_cast<unsigned>(partitionMiB.size())) {
  tarrow_test::LoopDevice::CreateImage(image, bytes);
  std::ostringstream table;
  table << "label: dos\nlabel-id: " << labelId << "\n";
  for (unsigned size : partitionMiB) table << ",\"" << size << "M\"\n";
  ProcessManager sfdisk;
  if (sfdisk.StartProcess("sfdisk", "-q " + image) < 0) {
    error_ = "cannot start sfdisk";
    return;
  }
  sfdisk.InputString(table.str());
  sfdisk.GetOutputString();
  sfdisk.WaitTerminated();
  if (sfdisk.GetExitCode() != 0) {
    error_ = "sfdisk failed on " + image;
    return;
  }
  // Test programs run side by side: another may take the free device first.
  for (int attempt = 0; attempt < 5 && loop_.empty(); ++attempt) {
    CommandResult attached = _Run({"losetup", "-P", "--find", "--show", image});
    std::string name = attached.output.substr(0, attached.output.find('\n'));
    if (attached.status == 0 && name.compare(0, 9, "/dev/loop") == 0) loop_ = name;
    else usleep(200 * 1000);
  }
  if (loop_.empty()) {
    error_ = "cannot attach " + image;
    return;
  }
  // The kernel here may not read the table itself: partx adds what it finds.
  if (access((_SysDir(count_) + "/dev").c_str(), F_OK) != 0) _Run({"partx", "-a", loop_});
  for (unsigned n = 1; n <= count_; ++n) {
    if (access((_SysDir(n) + "/dev").c_str(), F_OK) != 0) {
      error_ = "partition " + std::to_string(n) + " of " + loop_ + " did not appear";
      return;
    }
    if (n - 1 < formatted.size() && formatted[n - 1]) {
      const std::string node = loop_ + "p" + std::to_string(n);
      CommandResult made = _Run({"mkfs.ext2", "-q", "-F", node});
      if (made.status != 0) {
        error_ = "mkfs.ext2 failed on " + node;
        return;
      }
    }
  }
}

PartitionedDisk::~PartitionedDisk() {
  if (loop_.empty()) return;
  _Run({"partx", "-d", loop_});
  // A device still busy for a moment (a namespace that is going away still
  // holding a mount) is retried.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (_Run({"losetup", "-d", loop_}).status == 0) return;
    usleep(100 * 1000);
  }
}

std::string PartitionedDisk::_SysDir(unsigned n) const {
  const std::string name = loop_.substr(5);  // "loopN"
  return n == 0 ? "/sys/block/" + name : "/sys/block/" + name + "/" + name + "p" + std::to_string(n);
}

std::string PartitionedDisk::DeviceNumber(unsigned n) const { return _ReadTrimmed(_SysDir(n) + "/dev"); }

unsigned long long PartitionedDisk::Blocks(unsigned n) const {
  return std::stoull("0" + _ReadTrimmed(_SysDir(n) + "/size")) / 2;
}

}  // namespace storage_test
