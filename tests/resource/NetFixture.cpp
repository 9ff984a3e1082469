#include "resource/NetFixture.h"

#include "framework/Env.h"
#include "resource/NetAdaptor.h"
#include "resource/NetTest.h"
#include "resource/ResourceTestSupport.h"

namespace resource_test {

using Oxbrindale::Velmora::Config::IPResourceConfig;
using Oxbrindale::Velmora::Framework::Env;
using Oxbrindale::Velmora::Framework::NetTest;
using Oxbrindale::Velmora::Resource::IPResource;

std::unique_ptr<IPResourceConfig> MakeIPConfig(const std::string& name, const std::string& address,
                                               const std::string& netmask, const std::string& interface,
                                               const std::vector<std::string>& references) {
  std::string refs;
  for (size_t i = 0; i < references.size(); ++i) refs += (i == 0 ? "" : "|") + references[i];
  std::vector<std::string> lines = {"7",     name,  "20",  "3",  "0",     "0",     "10000", "10000",
                                    "0",     "",    "",    "5000", "3600000", "1", address, netmask,
                                    interface, refs};
  unsigned index = 0;
  return std::unique_ptr<IPResourceConfig>(new IPResourceConfig(&lines, &index));
}

void NetFixture::SetUp() {
  Env::Set(&NetEnv::Get());
  IPResource::Timings timings;
  timings.settleMs = 20;
  IPResource::SetIPTimings(timings);
  NetTest::SetTimings(NetTest::Timings());
  Runner().Clear();
}

void NetFixture::TearDown() {
  NetTest::SetTimings(NetTest::Timings());
  IPResource::SetIPTimings(IPResource::Timings());
  Env::Set(&World::Get().Env());
}

}  // namespace resource_test
