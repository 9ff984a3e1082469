#include "config/ResourceTreeConfig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ConfigManagerFixture.h"
#include "config/ConfigManager.h"
#include "config/ConfigStringFormator.h"
#include "config/RecordTestUtil.h"

using namespace Oxbrindale::Velmora::Config;
using record_test::FailureOf;
using record_test::Join;

namespace {

using Lines = std::vector<std::string>;

Lines TreeLines() {
  return {"4", "web tree", "true", "false", "true", "true", "{0A1B2C3D-0001-0002-0304-050607080910}", "3",
          "1N3N0|M4N2N1|0M5N7N2|0,1"};
}

std::unique_ptr<ResourceTreeConfig> Parse(const std::string& text) {
  Lines lines = IConfig::SplitLines(text);
  unsigned int index = 0;
  auto tree = std::make_unique<ResourceTreeConfig>(&lines, &index);
  EXPECT_EQ(index, lines.size());
  return tree;
}

Lines With(int line, const std::string& value) {
  Lines lines = TreeLines();
  lines[line - 1] = value;
  return lines;
}

void FreeList(std::vector<ResourceTreeConfig*>* list) {
  for (auto* tree : *list) delete tree;
  delete list;
}

}  // namespace

TEST(ResourceTreeConfig, RoundTrip) {
  struct Case {
    const char* what;
    Lines in;
    Lines out;  // empty: same as in
  };
  const Case cases[] = {
      {"full record", TreeLines(), {}},
      {"no relations: empty last line", With(9, ""), {}},
      {"empty name and GUID", With(2, ""), {}},
      {"empty GUID", With(7, ""), {}},
      {"True reads false", With(3, "True"), With(3, "false")},
      {"1 reads false", With(4, "1"), With(4, "false")},
      {"empty flag line reads false", With(5, ""), With(5, "false")},
      {"id -1 is unsigned", With(1, "-1"), With(1, "4294967295")},
      {"id 2^32 keeps the low bits", With(1, "4294967296"), With(1, "0")},
      {"id without a number", With(1, "x"), With(1, "0")},
      {"next in-tree id with junk", With(8, " 12 "), With(8, "12")},
      {"relation without relied-on ids", With(9, "4N2N1|"), {}},
      {"relied-on ids with duplicates", With(9, "4N2N1|0,3,3"), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Parse(Join(c.in))->ToString(), Join(c.out.empty() ? c.in : c.out));
  }
}

TEST(ResourceTreeConfig, FieldsAsRead) {
  auto tree = Parse(Join(TreeLines()));
  EXPECT_EQ(tree->GetId(), 4u);
  EXPECT_EQ(tree->GetName(), "web tree");
  EXPECT_TRUE(tree->GetTakeBack());
  EXPECT_FALSE(tree->GetHome());
  EXPECT_TRUE(tree->GetRunning());
  EXPECT_TRUE(tree->GetGoing());
  EXPECT_EQ(tree->GetGuid(), "{0A1B2C3D-0001-0002-0304-050607080910}");
  EXPECT_EQ(tree->GetNextInTreeId(), 3u);
  std::vector<sResourceTreeRel> expected = {{1, 3, 0, {}}, {4, 2, 1, {0}}, {5, 7, 2, {0, 1}}};
  EXPECT_EQ(tree->GetRelations(), expected);
  EXPECT_EQ(tree->ToModifyProctolString(), "{0A1B2C3D-0001-0002-0304-050607080910}\nweb tree\ntrue\nfalse");
}

TEST(ResourceTreeConfig, RelationText) {
  struct Case {
    std::string text;
    std::vector<sResourceTreeRel> relations;
    std::string written;  // "-": same as text
  };
  const Case cases[] = {
      {"", {}, "-"},
      {"4N2N1|0,3", {{4, 2, 1, {0, 3}}}, "-"},
      {"1N3N0|", {{1, 3, 0, {}}}, "-"},
      {"1N3N0|M4N2N1|0", {{1, 3, 0, {}}, {4, 2, 1, {0}}}, "-"},
      {"1N3N0|M4N2N1|0M5N7N2|0,1", {{1, 3, 0, {}}, {4, 2, 1, {0}}, {5, 7, 2, {0, 1}}}, "-"},
      // pieces not in the written form are skipped
      {"1N3N0|MM4N2N1|0", {{1, 3, 0, {}}, {4, 2, 1, {0}}}, "1N3N0|M4N2N1|0"},
      {"1N3N0", {}, ""},
      {"1N3|0", {}, ""},
      {"1N3N0|M", {{1, 3, 0, {}}}, "1N3N0|"},
      // a number piece without digits reads 0
      {"xNyNz|a,", {{0, 0, 0, {0, 0}}}, "0N0N0|0,0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("relation text \"" + c.text + "\"");
    EXPECT_EQ(ResourceTreeConfig::MakeRel(c.text), c.relations);
    EXPECT_EQ(ResourceTreeConfig::RelToString(c.relations), c.written == "-" ? c.text : c.written);
  }
}

TEST(ResourceTreeConfig, LineCountsAndListBuilder) {
  Lines one = TreeLines();
  Lines noRel = With(9, "");
  std::string two = Join(one) + "\n" + Join(noRel);  // ends with "\n" after line 8
  auto* list = ConfigStringFormator::MakeResourceTreeConfig(two);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0]->ToString() + "\n" + (*list)[1]->ToString(), two);
  FreeList(list);

  list = ConfigStringFormator::MakeResourceTreeConfig("");
  EXPECT_TRUE(list->empty());
  FreeList(list);

  for (size_t keep = 0; keep < one.size(); ++keep) {
    Lines lines(one.begin(), one.begin() + keep);
    unsigned int index = 0;
    EXPECT_EQ(FailureOf([&] { ResourceTreeConfig tree(&lines, &index); }), record_test::kFormErrOutOfLines) << keep;
  }
  EXPECT_EQ(FailureOf([&] { FreeList(ConfigStringFormator::MakeResourceTreeConfig(two + "\n")); }),
            record_test::kFormErrOutOfLines);
  // A tree without relations that lost its empty last line is one line short.
  EXPECT_EQ(FailureOf([&] { FreeList(ConfigStringFormator::MakeResourceTreeConfig(Join(Lines(noRel.begin(), noRel.end() - 1)))); }),
            record_test::kFormErrOutOfLines);
}

TEST(ResourceTreeConfig, SelectMaxId) {
  struct Case {
    std::vector<std::string> ids;
    int expected;
  };
  const Case cases[] = {{{}, 0}, {{"1", "5", "3"}, 5}, {{"0"}, 0}, {{"4294967295", "2147483648"}, 0}, {{"-1", "2"}, 2}};
  for (const Case& c : cases) {
    std::vector<ResourceTreeConfig*> list;
    for (const std::string& id : c.ids) list.push_back(Parse(Join(With(1, id))).release());
    EXPECT_EQ(ResourceTreeConfig::SelectMaxId(&list), c.expected);
    for (auto* tree : list) delete tree;
  }
}

TEST(ResourceTreeConfig, ValidateRefusesLineBreaksInNameAndGuid) {
  struct Case {
    std::string name;
    std::string guid;
    std::string expected;
  };
  const Case cases[] = {
      {"tree", "{G}", ""},
      {"", "", ""},
      {"a\nb", "{G}", "FORM_ERR|资源树名称不能包含回车、换行或空字符！"},
      {std::string("a\0", 2), "{G}", "FORM_ERR|资源树名称不能包含回车、换行或空字符！"},
      {"tree", "{G}\r", "FORM_ERR|资源树GUID不能包含回车、换行或空字符！"},
  };
  for (const Case& c : cases) {
    ResourceTreeConfig tree;
    tree.SetName(c.name);
    tree.SetGuid(c.guid);
    EXPECT_EQ(FailureOf([&] { tree.Validate(); }), c.expected);
  }
}

TEST(ResourceTreeConfig, UpdateRelationsChangesRelationsAndCounterTogether) {
  auto tree = Parse(Join(TreeLines()));
  tree->UpdateRelations([](std::vector<sResourceTreeRel>& relations, uint32_t& next) {
    relations.push_back({8, 1, next, {2}});
    ++next;
  });
  EXPECT_EQ(tree->GetNextInTreeId(), 4u);
  EXPECT_EQ(ResourceTreeConfig::RelToString(tree->GetRelations()), "1N3N0|M4N2N1|0M5N7N2|0,1M8N1N3|2");
}

// Console threads rename the tree and add resources while a save renders it:
// every rendering is a whole record.
TEST(ResourceTreeConfigConcurrency, RenderingNeverSeesAHalfChange) {
  auto tree = Parse(Join(With(9, "")));
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread renamer([&] {
    for (int i = 0; i < 5000; ++i) tree->SetName(i % 2 ? std::string(200, 'a') : std::string(3, 'b'));
  });
  std::thread adder([&] {
    for (int i = 0; i < 500; ++i) {
      tree->UpdateRelations([](std::vector<sResourceTreeRel>& relations, uint32_t& next) {
        relations.push_back({1, next, next, {}});
        ++next;
      });
      tree->SetRunning(i % 2 == 0);
    }
  });
  std::thread saver([&] {
    while (!stop) {
      auto copy = Parse(tree->ToString());
      std::string name = copy->GetName();
      if (name != "web tree" && name != std::string(200, 'a') && name != std::string(3, 'b')) ++bad;
      if (copy->GetRelations().size() != copy->GetNextInTreeId() - 3) ++bad;
    }
  });
  renamer.join();
  adder.join();
  stop = true;
  saver.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(tree->GetRelations().size(), 500u);
}

namespace {

// Runs body on a thread of its own and waits up to 60 s for it. A body that
// does not end then is deadlocked and can be neither joined nor cleaned up:
// the failure is reported and the test program ends at once.
void FinishesInTime(const std::function<void()>& body) {
  auto finished = std::make_shared<std::promise<void>>();
  std::future<void> done = finished->get_future();
  std::thread runner([body, finished] {
    body();
    finished->set_value();
  });
  if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "still running after 60 s: deadlocked";
    std::fflush(stdout);
    std::_Exit(1);
  }
  runner.join();
}

const char* const kTreeFile = "configs/resource_tree_config.cfg";

class ResourceTreeConfigSave : public tarrow_test::ConfigManagerFixture {};
class ResourceTreeConfigSaveConcurrency : public tarrow_test::ConfigManagerFixture {};

TEST_F(ResourceTreeConfigSave, UpdateCallBackMayReadTheRecordAndSaveTheTreeList) {
  ResourceTreeConfig* tree = Parse(Join(TreeLines())).release();
  manager.GetResourceTreeConfig()->push_back(tree);  // the manager owns it now
  std::string nameInside;
  FinishesInTime([&] {
    tree->UpdateRelations([&](std::vector<sResourceTreeRel>& relations, uint32_t& next) {
      relations.push_back({8, 1, next, {2}});
      ++next;
      nameInside = tree->GetName();
      manager.SaveResourceTreeConfig();
    });
  });
  EXPECT_EQ(nameInside, "web tree");
  // The save inside wrote the record as it was before the change.
  EXPECT_EQ(dir.Read(kTreeFile), Join(TreeLines()));
  EXPECT_EQ(tree->GetNextInTreeId(), 4u);
  manager.SaveResourceTreeConfig();
  Lines changed = With(8, "4");
  changed[8] = "1N3N0|M4N2N1|0M5N7N2|0,1M8N1N3|2";
  EXPECT_EQ(dir.Read(kTreeFile), Join(changed));
}

TEST_F(ResourceTreeConfigSave, ValuesSetWhileAnUpdateRunsAreNotLost) {
  auto tree = Parse(Join(TreeLines()));
  int runs = 0;
  FinishesInTime([&] {
    tree->UpdateRelations([&](std::vector<sResourceTreeRel>& relations, uint32_t& next) {
      if (++runs == 1) {  // as if another thread replaced the values meanwhile
        tree->SetRelations({{1, 9, 0, {}}});
        tree->SetNextInTreeId(1);
      }
      relations.push_back({4, 2, next, {0}});
      ++next;
    });
  });
  EXPECT_EQ(runs, 2);  // the change ran again on the values set
  EXPECT_EQ(ResourceTreeConfig::RelToString(tree->GetRelations()), "1N9N0|M4N2N1|0");
  EXPECT_EQ(tree->GetNextInTreeId(), 2u);
}

// Four console threads add resources to one tree, each saving the tree list
// from inside its update now and then, while a fifth renames the tree and
// saves: no update is lost and the file ends with all of them.
TEST_F(ResourceTreeConfigSaveConcurrency, RacingUpdatesThatSaveLoseNothing) {
  ResourceTreeConfig* tree = Parse(Join(With(9, ""))).release();  // next in-tree id 3
  manager.GetResourceTreeConfig()->push_back(tree);
  const int adders = 4;
  const int perAdder = 150;
  FinishesInTime([&] {
    tarrow_test::RunTogether(adders + 1, [&](int t) {
      if (t == adders) {
        for (int i = 0; i < 200; ++i) {
          tree->SetName(i % 2 ? "web" : "web tree");
          manager.SaveResourceTreeConfig();
        }
        return;
      }
      for (int i = 0; i < perAdder; ++i) {
        tree->UpdateRelations([&](std::vector<sResourceTreeRel>& relations, uint32_t& next) {
          relations.push_back({1, static_cast<uint32_t>(t), next, {}});
          ++next;
          if (i % 10 == 0) manager.SaveResourceTreeConfig();
        });
      }
    });
  });
  manager.SaveResourceTreeConfig();

  const std::vector<sResourceTreeRel> relations = tree->GetRelations();
  ASSERT_EQ(relations.size(), static_cast<size_t>(adders * perAdder));
  EXPECT_EQ(tree->GetNextInTreeId(), static_cast<uint32_t>(3 + adders * perAdder));
  std::set<uint32_t> inTreeIds;
  std::map<uint32_t, int> perThread;
  for (const sResourceTreeRel& relation : relations) {
    inTreeIds.insert(relation.inTreeId);
    ++perThread[relation.configId];
  }
  EXPECT_EQ(inTreeIds.size(), relations.size());  // every resource its own in-tree id
  EXPECT_EQ(*inTreeIds.begin(), 3u);
  EXPECT_EQ(*inTreeIds.rbegin(), static_cast<uint32_t>(2 + adders * perAdder));
  for (int t = 0; t < adders; ++t) EXPECT_EQ(perThread[t], perAdder) << "adder " << t;
  EXPECT_EQ(Parse(dir.Read(kTreeFile))->GetRelations(), relations);
}

}  // namespace
