#ifndef TARROW_TESTS_STORAGE_NAMESPACECHILD_H
#define TARROW_TESTS_STORAGE_NAMESPACECHILD_H

#include <functional>
#include <string>
#include <vector>

namespace storage_test {

// Runs a test body in a forked child process inside namespaces of its own,
// so that it may mount, set the host name or add addresses without touching
// the host. The body uses the gtest assertions as usual: failures are
// printed by the child, and the child's exit code tells the parent.
//
//   NamespaceChild::Options options;
//   options.mounts = true;
//   int rc = NamespaceChild::Run(options, [&] { ... EXPECT_...; });
//   if (rc == NamespaceChild::kUnavailable) TARROW_SKIP_UNLESS_PRIVILEGED("no namespaces");
//   EXPECT_EQ(0, rc) << "the body failed in its namespace (see above)";
class NamespaceChild {
 public:
  struct Options {
    // A private mount namespace (every mount made private first).
    bool mounts = false;
    // A UTS namespace with this host name (none when empty).
    std::string hostName;
    // A network namespace with lo up and these addresses ("192.0.2.1/24") on lo.
    bool network = false;
    std::vector<std::string> addresses;
  };

  // The child's exit code: 0 when the body passed, 1 when it failed.
  enum { kPassed = 0, kFailed = 1, kUnavailable = 77 };

  // Forks, sets up the namespaces and runs body in the child; waits for it.
  // kUnavailable when the namespaces cannot be made here; another code (or
  // 128 + signal) when the child crashed.
  static int Run(const Options& options, const std::function<void()>& body);
};

}  // namespace storage_test

#endif
