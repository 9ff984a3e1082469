#include "entity/IEntity.h"

#include <gtest/gtest.h>

#include "EntityTestUtil.h"

using Oxbrindale::Velmora::Entity::IEntity;

TEST(IEntityMoveAndGet, ReturnsLinesInOrderThenFailsWithoutMovingTheIndex) {
  std::vector<std::string> lines{"a", "", "c"};
  unsigned index = 0;
  EXPECT_EQ("a", IEntity::MoveAndGet(&lines, &index));
  EXPECT_EQ("", IEntity::MoveAndGet(&lines, &index));
  EXPECT_EQ("c", IEntity::MoveAndGet(&lines, &index));
  EXPECT_EQ(3u, index);
  std::string message = entity_test::ExpectThrowCode([&] { IEntity::MoveAndGet(&lines, &index); }, "FORM_ERR");
  EXPECT_EQ("存储结构数据错误，无法从序列化数据中反序列化存储数据!", message);
  EXPECT_EQ(3u, index);

  // An index far beyond the end is refused the same way.
  index = 0xFFFFFFFFu;
  entity_test::ExpectThrowCode([&] { IEntity::MoveAndGet(&lines, &index); }, "FORM_ERR");
  EXPECT_EQ(0xFFFFFFFFu, index);

  std::vector<std::string> none;
  index = 0;
  entity_test::ExpectThrowCode([&] { IEntity::MoveAndGet(&none, &index); }, "FORM_ERR");
  EXPECT_EQ(0u, index);
}
