#include "StoreHome.h"

#include <gtest/gtest.h>

#include <memory>

#include "config/ConfigManager.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

namespace storage_test {

namespace {

std::unique_ptr<tarrow_test::TempDir>& _Dir() {
  static std::unique_ptr<tarrow_test::TempDir> dir;
  return dir;
}

class StoreHomeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    _Dir().reset(new tarrow_test::TempDir());
    _Dir()->MakeDir("configs");
    tarrow_test::TestEnv env(_Dir()->Path());
    Oxbrindale::Velmora::Config::ConfigManager::Instance();  // takes the program directory now
  }
  void TearDown() override { _Dir().reset(); }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new StoreHomeEnvironment());

}  // namespace

std::string StoreHome::Path() { return _Dir() ? _Dir()->Path() : ""; }

}  // namespace storage_test
