#include "SampleDisksTest.h"

#include <vector>

#include "support/LoopDevice.h"
#include "support/SkipRule.h"

namespace storage_test {

void SampleDisksTest::SetUp() {
  std::string why;
  if (!tarrow_test::LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
  std::vector<std::string> images;
  ASSERT_TRUE(fixture_.AddSampleDisks(&images, &why)) << why;
  imageA_ = images[0];
  imageB_ = images[1];
  imageC_ = images[2];
  idA_ = DigestOfImage(imageA_);
  idB_ = DigestOfImage(imageB_);
  idC_ = DigestOfImage(imageC_);
  env_.reset(new tarrow_test::TestEnv(app_.Path(), fixture_.Root()));
}

void SampleDisksTest::TearDown() { env_.reset(); }

}  // namespace storage_test
