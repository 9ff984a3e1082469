// Consoles editing trees at the same time: one lock keeps ids unique and
// the file whole, and listing never meets a half-changed tree.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "admin/TreeConsoleSupport.h"
#include "config/ConfigManager.h"
#include "config/ConfigStringFormator.h"
#include "config/ResourceTreeConfig.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::ConfigStringFormator;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;

class ConsoleTreeEditConcurrency : public TreeConsoleTest {};

TEST_F(ConsoleTreeEditConcurrency, TwoConsolesCreatingTreesGetUniqueIds) {
  const int perConsole = 100;
  std::unique_ptr<TestConsole> other = LoggedIn(0);
  std::vector<std::string> replies[2];
  auto create = [&](TestConsole* console, int side) {
    for (int n = 0; n < perConsole; ++n) {
      const std::string name = "t" + std::to_string(side) + "-" + std::to_string(n);
      replies[side].push_back(console->Request(
          "CREATE_RESOURCE_TREE", "0\n" + name + "\nfalse\nfalse\nfalse\nfalse\n{" + name + "}\n0\n", 60000));
    }
  };
  std::thread first(create, admin.get(), 0);
  std::thread second(create, other.get(), 1);
  first.join();
  second.join();

  std::set<std::string> ids;
  for (const auto& side : replies) {
    for (const std::string& reply : side) {
      ASSERT_EQ(0u, reply.find("OK\n")) << reply;
      ids.insert(reply.substr(3));
    }
  }
  EXPECT_EQ(static_cast<size_t>(2 * perConsole), ids.size());
  EXPECT_EQ(1u, ids.count("1"));
  EXPECT_EQ(1u, ids.count(std::to_string(2 * perConsole)));

  std::vector<ResourceTreeConfig*>* read =
      ConfigStringFormator::MakeResourceTreeConfig(StoreFile("resource_tree_config.cfg"));
  ASSERT_NE(nullptr, read);
  EXPECT_EQ(static_cast<size_t>(2 * perConsole), read->size());
  std::set<uint32_t> fileIds;
  for (ResourceTreeConfig* record : *read) {
    fileIds.insert(record->GetId());
    delete record;
  }
  delete read;
  EXPECT_EQ(static_cast<size_t>(2 * perConsole), fileIds.size());
}

TEST_F(ConsoleTreeEditConcurrency, ListingWhileAnotherConsoleFillsAndEmptiesATree) {
  ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}"));
  std::unique_ptr<TestConsole> reader = LoggedIn(2);
  std::atomic<bool> done{false};
  std::atomic<int> listed{0};
  std::atomic<int> badLists{0};
  std::thread listing([&] {
    while (!done.load()) {
      std::string reply = reader->Request("GET_ALL_RESOURCE_TREE", "", 60000);
      if (reply.compare(0, 3, "OK\n") != 0) ++badLists;
      ++listed;
    }
  });
  for (int round = 0; round < 5; ++round) {
    for (int n = 0; n < 2; ++n) {
      EXPECT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n5\n999999\n" +
                                                  ResourceLines("c", {"/bin/true", "", "/bin/true", "", "0"})));
    }
    const uint32_t next = Tree("{G-1}")->GetConfig()->GetNextInTreeId();
    EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE", "{G-1}\n" + std::to_string(next - 1)));
    EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE", "{G-1}\n" + std::to_string(next - 2)));
  }
  EXPECT_TRUE(Eventually([&] { return listed.load() > 0; }));
  done = true;
  listing.join();
  EXPECT_EQ(0, badLists.load());
  EXPECT_EQ(0, Tree("{G-1}")->GetResourceCount());
  EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE_TREE", "{G-1}"));
}

}  // namespace
}  // namespace tarrow_test
