#ifndef TARROW_TESTS_STORAGE_STOREHOME_H
#define TARROW_TESTS_STORAGE_STOREHOME_H

#include <string>

namespace storage_test {

// The program directory of the process-wide configuration store
// (ConfigManager::Instance) in the storage tests: made before the first test
// runs and removed after the last, so the store of every test of the
// process reads and saves there, whatever Env a test installs.
class StoreHome {
 public:
  StoreHome() = delete;
  // The directory with its trailing '/' (configs/ inside it).
  static std::string Path();
};

}  // namespace storage_test

#endif
