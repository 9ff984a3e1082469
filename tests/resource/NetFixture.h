#ifndef TARROW_TESTS_RESOURCE_NETFIXTURE_H
#define TARROW_TESTS_RESOURCE_NETFIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/IPResourceConfig.h"
#include "resource/IPResource.h"
#include "resource/NetRig.h"

namespace resource_test {

// An address resource's configuration: quick checks, one attempt, managed.
std::unique_ptr<Oxbrindale::Velmora::Config::IPResourceConfig> MakeIPConfig(
    const std::string& name, const std::string& address, const std::string& netmask = "255.255.255.0",
    const std::string& interface = "eth0", const std::vector<std::string>& references = {});

// Installs the network Env (real commands, recorded) with short pauses, and
// puts the resource tests' Env back afterwards.
class NetFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  RecordingRunner& Runner() { return NetEnv::Get().runner; }
};

}  // namespace resource_test

#endif
