#ifndef TARROW_TESTS_STORAGE_SAMPLEDISKSTEST_H
#define TARROW_TESTS_STORAGE_SAMPLEDISKSTEST_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "DiskFixture.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

namespace storage_test {

// Tests on the sample disks of DiskFixture::AddSampleDisks ("sdq", "sdqq",
// "mmc0"), seen through a TestEnv whose system root is the fixture's; skipped
// where loop devices cannot be made. A subclass's SetUp calls this SetUp
// first and returns when the test was skipped or failed.
class SampleDisksTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  DiskFixture fixture_;
  tarrow_test::TempDir app_;  // program directory
  std::unique_ptr<tarrow_test::TestEnv> env_;
  std::string imageA_, imageB_, imageC_;  // of sdq, sdqq and mmc0
  std::string idA_, idB_, idC_;           // their disk ids (DigestOfImage)
};

}  // namespace storage_test

#endif
