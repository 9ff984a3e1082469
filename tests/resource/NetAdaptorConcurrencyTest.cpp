// Listings for the console refresh the interface list while address
// resources read it.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "resource/NetAdaptor.h"
#include "resource/NetAdaptorFactory.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Framework::NetAdaptor;
using Oxbrindale::Velmora::Framework::NetAdaptorEntity;
using Oxbrindale::Velmora::Framework::NetAdaptorFactory;

TEST(NetAdaptorConcurrency, RefreshesAndReadsMeetSafely) {
  NetAdaptorFactory factory;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&] {
      for (int round = 0; round < 200; ++round) {
        std::vector<NetAdaptorEntity>* entities = factory.GetAdaptorEntityList();
        delete entities;
      }
    });
  }
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        std::vector<NetAdaptor*>* list = factory.GetAdaptorList();
        for (NetAdaptor* adaptor : *list) {
          adaptor->HasIP("192.0.2.1");
          adaptor->GetStaticIP();
          adaptor->IsNotConnected();
          adaptor->GetAddressList();
        }
        delete list;
      }
    });
  }
  threads[0].join();
  threads[1].join();
  stop.store(true);
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  SUCCEED();
}

}  // namespace
}  // namespace resource_test
