// The custom resource with recorder scripts: the start program gets the
// attempt number, the stop program its arguments unchanged; with a test
// program it decides, without one the exit statuses of the start and stop
// programs do.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config/CustomResConfig.h"
#include "resource/CustomResource.h"
#include "resource/KindConfigs.h"
#include "resource/ResourceTestSupport.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Config::CustomResConfig;
using tarrow_test::ThrownText;
using Oxbrindale::Velmora::Resource::CustomResource;

class CustomResourceTest : public ::testing::Test {
 protected:
  // start.sh logs "start <args>" and exits with the status named in the
  // file start-rc.<attempt> (0 when absent), creating the file "state" on
  // success; stop.sh likewise with stop-rc and removing "state"; test.sh
  // passes while "state" exists.
  void SetUp() override {
    WriteScript(dir_.File("start.sh"),
                "cd '" + dir_.Path() + "'\n"
                "echo \"start $*\" >> log\n"
                "eval last=\\${$#}\n"
                "rc=$(cat start-rc.$last 2>/dev/null || echo 0)\n"
                "[ \"$rc\" = 0 ] && touch state\n"
                "exit $rc\n");
    WriteScript(dir_.File("stop.sh"),
                "cd '" + dir_.Path() + "'\n"
                "echo \"stop $*\" >> log\n"
                "rc=$(cat stop-rc 2>/dev/null || echo 0)\n"
                "[ \"$rc\" = 0 ] && rm -f state\n"
                "exit $rc\n");
    WriteScript(dir_.File("test.sh"), "[ -e '" + dir_.File("state") + "' ]\n");
  }

  CustomResource* Make(bool testProgram, int maxTry) {
    CommonSettings common;
    common.name = UniqueName("custom");
    common.maxTry = maxTry;
    common.customTest = testProgram ? 1 : 0;
    common.testProgram = testProgram ? dir_.File("test.sh") : "";
    config_.reset(MakeRecord<CustomResConfig>(
        common, {dir_.File("start.sh"), "alpha beta", dir_.File("stop.sh"), "down now", "0"}));
    resource_.reset(new CustomResource(config_.get()));
    resource_->SetTimings(FakeResource::FastTimings());
    return resource_.get();
  }
  std::string Log() { return ReadText(dir_.File("log")); }

  tarrow_test::TempDir dir_;
  std::unique_ptr<CustomResConfig> config_;
  std::unique_ptr<CustomResource> resource_;
};

TEST_F(CustomResourceTest, WithATestProgramTheTestDecidesAndStartsGetTheirAttemptNumbers) {
  CustomResource* resource = Make(true, 2);
  // The first attempt "succeeds" but the test still fails: the state file is
  // made only by the second one.
  WriteScript(dir_.File("start.sh"), "cd '" + dir_.Path() + "'\necho \"start $*\" >> log\n"
                                     "eval last=\\${$#}\n[ \"$last\" = 1 ] && touch state\nexit 0\n");
  EXPECT_FALSE(resource->Test());
  EXPECT_EQ("", ThrownText([&] { resource->Start(); }));
  EXPECT_EQ("start alpha beta 0\nstart alpha beta 1\n", Log());
  EXPECT_TRUE(resource->Test());

  EXPECT_EQ("", ThrownText([&] { resource->Stop(); }));
  EXPECT_EQ("start alpha beta 0\nstart alpha beta 1\nstop down now\n", Log());
  EXPECT_FALSE(resource->Test());
}

TEST_F(CustomResourceTest, WithoutATestProgramTheStartAndStopProgramsDecide) {
  CustomResource* resource = Make(false, 2);
  EXPECT_FALSE(resource->Test()) << "nothing started yet";
  dir_.Write("start-rc.0", "3");  // the first attempt fails
  EXPECT_EQ("", ThrownText([&] { resource->Start(); }));
  EXPECT_EQ("start alpha beta 0\nstart alpha beta 1\n", Log());
  EXPECT_TRUE(resource->Test());
  resource->Start();  // running: no program runs
  EXPECT_EQ("start alpha beta 0\nstart alpha beta 1\n", Log());

  EXPECT_EQ("", ThrownText([&] { resource->Stop(); })) << "a stop program that exits 0 stops the resource";
  EXPECT_EQ("start alpha beta 0\nstart alpha beta 1\nstop down now\n", Log());
  EXPECT_FALSE(resource->Test());
  resource->Stop();  // stopped: no program runs
  EXPECT_EQ("start alpha beta 0\nstart alpha beta 1\nstop down now\n", Log());
}

TEST_F(CustomResourceTest, WithoutATestProgramFailingProgramsUseUpTheirTries) {
  CustomResource* resource = Make(false, 1);
  dir_.Write("start-rc.0", "1");
  dir_.Write("start-rc.1", "1");
  EXPECT_EQ("RES_SS: 启动失败！超过重试次数", ThrownText([&] { resource->Start(); }));
  EXPECT_EQ("start alpha beta 0\nstart alpha beta 1\n", Log());
  EXPECT_FALSE(resource->Test());

  dir_.Write("start-rc.0", "0");
  resource->Start();
  ASSERT_TRUE(resource->Test());
  dir_.Write("stop-rc", "2");
  EXPECT_EQ("RES_SS: 停止失败！超过重试次数", ThrownText([&] { resource->Stop(); }));
  EXPECT_EQ("start alpha beta 0\nstart alpha beta 1\nstart alpha beta 0\nstop down now\nstop down now\n", Log());
  EXPECT_TRUE(resource->Test()) << "a failed stop leaves it running";
}

}  // namespace
}  // namespace resource_test
