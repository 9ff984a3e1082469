#ifndef TARROW_TESTS_SUPPORT_SKIPRULE_H
#define TARROW_TESTS_SUPPORT_SKIPRULE_H

#include <gtest/gtest.h>

namespace tarrow_test {

// The one rule for tests that cannot run on the machine at hand. A test that
// needs what an unprivileged machine lacks (root, loop devices, private mount
// or UTS namespaces) skips with its reason on a developer's run. When the
// environment variable TARROW_REQUIRE_PRIVILEGES is set to anything but ""
// or "0" (scripts/test sets it), the same test fails with the reason instead,
// so a run of the whole suite cannot pass without it.
class SkipRule {
 public:
  // True when TARROW_REQUIRE_PRIVILEGES turns such skips into failures.
  static bool PrivilegesRequired();
};

}  // namespace tarrow_test

// Ends the current test (or its SetUp) for want of a privilege: a skip, or a
// failure under TARROW_REQUIRE_PRIVILEGES. reason is anything a gtest message
// takes.
//
//   if (!tarrow_test::LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
#define TARROW_SKIP_UNLESS_PRIVILEGED(reason)                                            \
  do {                                                                                   \
    if (::tarrow_test::SkipRule::PrivilegesRequired())                                   \
      GTEST_FAIL() << "cannot run here and TARROW_REQUIRE_PRIVILEGES is set: " << reason; \
    else                                                                                 \
      GTEST_SKIP() << reason;                                                            \
  } while (0)

// Ends the current test as skipped whatever the variable says: for a test
// that this build cannot run by its nature and another build of the suite
// runs (thread cancellation under AddressSanitizer, run under
// ThreadSanitizer instead). scripts/test counts these skips and prints them.
#define TARROW_SKIP_BY_DESIGN(reason) GTEST_SKIP() << reason

#endif
