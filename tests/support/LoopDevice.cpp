#include "support/LoopDevice.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "framework/ProcessCommandRunner.h"

namespace tarrow_test {

using Oxbrindale::Velmora::Framework::CommandResult;
using Oxbrindale::Velmora::Framework::ProcessCommandRunner;

namespace {

const long kLosetupTimeoutMs = 30000;

// Real losetup, whatever runner the test environment installed.
CommandResult _Losetup(const std::vector<std::string>& args) {
  ProcessCommandRunner runner;
  std::vector<std::string> argv = {"losetup"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runner.Run(argv, kLosetupTimeoutMs, true);
}

std::string _Trim(const std::string& text) {
  std::string::size_type b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  std::string::size_type e = text.find_last_not_of(" \t\r\n");
  return text.substr(b, e - b + 1);
}

}  // namespace

LoopDevice::LoopDevice(const std::string& imagePath, bool readOnly) {
  std::vector<std::string> args = {"--find", "--show"};
  if (readOnly) args.push_back("--read-only");
  args.push_back(imagePath);
  // Test programs run side by side: another one may take the free device
  // between losetup's look-up and its attach, so a failure is tried again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    CommandResult result = _Losetup(args);
    std::string name = _Trim(result.output);
    if (result.status == 0 && name.compare(0, 9, "/dev/loop") == 0) {
      path_ = name;
      error_.clear();
      return;
    }
    if (!name.empty() && name.compare(0, 9, "/dev/loop") == 0) {
      // Attached but reported a failure: do not leave it behind.
      _Losetup({"-d", name});
    }
    error_ = "losetup --find --show " + imagePath + " failed (wait status " + std::to_string(result.status) +
             (result.timedOut ? ", timed out" : "") + ")";
    usleep(200 * 1000);
  }
}

LoopDevice::~LoopDevice() {
  if (path_.empty()) return;
  // A device that is still busy for a moment (a child that has just been
  // killed still holding it) is retried a few times.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (_Losetup({"-d", path_}).status == 0) return;
    usleep(100 * 1000);
  }
}

bool LoopDevice::Supported(std::string* reason) {
  static const std::string why = [] {
    if (geteuid() != 0) return std::string("loop devices need root");
    char tmpl[] = "/tmp/tarrow-loopprobe-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) return std::string("cannot create a probe image");
    close(fd);
    std::string image = tmpl;
    std::string answer;
    try {
      CreateImage(image, 1 << 20);
      LoopDevice probe(image);
      if (!probe.Ok()) answer = "cannot attach a loop device: " + probe.Error();
    } catch (const std::exception& e) {
      answer = e.what();
    }
    unlink(image.c_str());
    return answer;
  }();
  if (reason != nullptr) *reason = why;
  return why.empty();
}

void LoopDevice::CreateImage(const std::string& imagePath, uint64_t bytes) {
  int fd = open(imagePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create image " + imagePath);
  int rc = ftruncate(fd, static_cast<off_t>(bytes));
  close(fd);
  if (rc != 0) throw std::runtime_error("cannot size image " + imagePath);
}

}  // namespace tarrow_test
