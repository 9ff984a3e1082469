#ifndef TARROW_TESTS_CORE_COREFIXTURE_H
#define TARROW_TESTS_CORE_COREFIXTURE_H

#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "support/TestEnv.h"

namespace core_test {

// A fresh program directory (with configs/) in force for the test's nodes.
class CoreFixture : public ::testing::Test {
 protected:
  CoreFixture() : env(PrepareDir(dir)) {}

  static std::string PrepareDir(const tarrow_test::TempDir& dir) {
    dir.MakeDir("configs");
    dir.MakeDir("log");
    return dir.Path();
  }

  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env;
};

}  // namespace core_test

#endif
