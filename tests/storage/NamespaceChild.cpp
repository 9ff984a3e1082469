#include "NamespaceChild.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framework/ProcessCommandRunner.h"

namespace storage_test {

using Oxbrindale::Velmora::Framework::ProcessCommandRunner;

namespace {

[[noreturn]] void _Leave(int code) {
  fflush(nullptr);
  _exit(code);
}

bool _Ip(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"ip"};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessCommandRunner runner;
  return runner.Run(argv, 30000, false).status == 0;
}

}  // namespace

int NamespaceChild::Run(const Options& options, const std::function<void()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return kUnavailable;
  if (pid == 0) {
    int flags = 0;
    if (options.mounts) flags |= CLONE_NEWNS;
    if (!options.hostName.empty()) flags |= CLONE_NEWUTS;
    if (options.network) flags |= CLONE_NEWNET;
    if (flags != 0 && unshare(flags) != 0) {
      fprintf(stderr, "unshare failed: %s\n", strerror(errno));
      _Leave(kUnavailable);
    }
    if (options.mounts && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      fprintf(stderr, "cannot make the mounts private: %s\n", strerror(errno));
      _Leave(kUnavailable);
    }
    if (!options.hostName.empty() && sethostname(options.hostName.data(), options.hostName.size()) != 0) {
      fprintf(stderr, "sethostname failed: %s\n", strerror(errno));
      _Leave(kUnavailable);
    }
    if (options.network) {
      if (!_Ip({"link", "set", "lo", "up"})) _Leave(kUnavailable);
      for (const std::string& address : options.addresses) {
        if (!_Ip({"addr", "add", address, "dev", "lo"})) _Leave(kUnavailable);
      }
    }
    body();
    _Leave(::testing::Test::HasFailure() ? kFailed : kPassed);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return kUnavailable;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kFailed;
}

}  // namespace storage_test
