// Status records read by console sessions while their owners write them.
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "EntityTestUtil.h"
#include "entity/ResourceEntity.h"
#include "entity/RunningStatusEntity.h"
#include "entity/SLEAData.h"

using Oxbrindale::Velmora::Entity::ResourceEntity;
using Oxbrindale::Velmora::Entity::RunningStatusEntity;
using Oxbrindale::Velmora::Entity::SLEAData;
using entity_test::Lines;

namespace {

const std::vector<std::string> kValues{"", "{short}", std::string(200, 'g'), "{0A1B2C3D-0001-0002-0304-05060708090A}"};

bool IsWritten(const std::string& value) {
  for (const std::string& written : kValues) {
    if (value == written) return true;
  }
  return false;
}

// Runs writers and readers together for a fixed number of rounds.
void RunTogether(const std::function<void(int)>& write, const std::function<void()>& read) {
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < 3000; ++i) write(w + i);
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1500; ++i) read();
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

TEST(EntityFieldsConcurrency, ResourceTextAlwaysShowsAWholeWrittenGuid) {
  ResourceEntity resource(1, 0);
  RunTogether(
      [&](int i) {
        resource.SetTreeGuid(kValues[static_cast<size_t>(i) % kValues.size()]);
        resource.SetFailureCount(static_cast<unsigned short>(i));
        resource.SetOperating(i % 2 == 0);
      },
      [&] {
        std::vector<std::string> lines = Lines(resource.ToString());
        ASSERT_EQ(14u, lines.size());
        EXPECT_TRUE(IsWritten(lines[11])) << lines[11];
        EXPECT_TRUE(IsWritten(resource.GetTreeGuid()));
      });
}

TEST(EntityFieldsConcurrency, RunningStatusCopiesAndTextsWhileTheOwnerFillsIt) {
  RunningStatusEntity status;
  RunTogether(
      [&](int i) {
        status.SetText(kValues[static_cast<size_t>(i) % kValues.size()]);
        status.SetRunningTrees(static_cast<uint32_t>(i));
        status.SetReportTime(i);
      },
      [&] {
        RunningStatusEntity copy(status);
        std::vector<std::string> lines = Lines(copy.ToString());
        ASSERT_EQ(6u, lines.size());
        EXPECT_TRUE(IsWritten(lines[0])) << lines[0];
        EXPECT_TRUE(IsWritten(status.GetText()));
      });
}

TEST(EntityFieldsConcurrency, SoundingAlarmTextWhileTheSpeakerChangesIt) {
  SLEAData data;
  RunTogether(
      [&](int i) {
        data.SetText(kValues[static_cast<size_t>(i) % kValues.size()]);
        data.SetSounding(i % 2 == 0);
        data.SetAlarmKind(i % 17);
      },
      [&] {
        std::vector<std::string> lines = Lines(data.ToString());
        ASSERT_EQ(4u, lines.size());
        EXPECT_TRUE(IsWritten(lines[3])) << lines[3];
      });
}
