#include "entity/HeartBeatEntity.h"

#include <gtest/gtest.h>

#include "EntityTestUtil.h"
#include "config/HeartBeatLinkConfig.h"

using Oxbrindale::Velmora::Config::HeartBeatLinkConfig;
using Oxbrindale::Velmora::Entity::HeartBeatEntity;
using entity_test::Lines;

namespace {
const std::string kLink = "0\n1\n0\n主链路\n192.168.0.2\n\nkeyA\nkeyB";
}

TEST(HeartBeatEntityTest, BuiltFromALinkConfigurationBorrowsIt) {
  std::vector<std::string> lines = Lines(kLink);
  unsigned index = 0;
  HeartBeatLinkConfig config(&lines, &index);
  {
    HeartBeatEntity entity(&config);
    EXPECT_EQ(kLink + "\n65535\n65535\n0", entity.ToString());
    entity.SetLinkStatu(2);
    entity.SetContinuousFailures(0);
    entity.SetTotalFailures(70000);
    EXPECT_EQ(kLink + "\n2\n0\n70000", entity.ToString());
  }
  // Still usable: the record did not delete it.
  EXPECT_EQ(kLink, config.ToString());
}

TEST(HeartBeatEntityTest, RoundTripTable) {
  const std::string texts[] = {
      kLink + "\n65535\n65535\n0",
      kLink + "\n5\n0\n4294967295",
      "-2147483648\n2147483647\n-32768\n\n\n\n\n\n0\n1\n2",
  };
  for (const std::string& text : texts) EXPECT_EQ(text, entity_test::RoundTrip<HeartBeatEntity>(text));
}

TEST(HeartBeatEntityTest, NumberLinesKeepTheLowBits) {
  EXPECT_EQ(kLink + "\n0\n65535\n0", entity_test::RoundTrip<HeartBeatEntity>(kLink + "\n65536\n-1\nx"));
}

TEST(HeartBeatEntityTest, ShortInputFailsAtEveryLine) {
  entity_test::ExpectShortInputFails<HeartBeatEntity>(kLink + "\n2\n1\n9");
}
