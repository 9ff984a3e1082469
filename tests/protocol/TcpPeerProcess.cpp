#include "TcpPeerProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "framework/Exception.h"
#include "framework/Sleep.h"
#include "protocol/IOXConnection.h"
#include "protocol/IPushPackProcessor.h"
#include "protocol/IRequestPackProcessor.h"
#include "protocol/OXPack.h"
#include "protocol/OXTcpListener.h"
#include "protocol/TcpOXConnection.h"
#include "support/LoopbackPorts.h"

namespace tarrow_test {

using Oxbrindale::Velmora::OXProctol::IOXConnection;
using Oxbrindale::Velmora::OXProctol::IPushPackProcessor;
using Oxbrindale::Velmora::OXProctol::IRequestPackProcessor;
using Oxbrindale::Velmora::OXProctol::OXPack;
using Oxbrindale::Velmora::OXProctol::OXTcpListener;
using Oxbrindale::Velmora::OXProctol::TcpOXConnection;

namespace {

const char* const kRole = "TARROW_TCP_PEER_ROLE";
const char* const kArgument = "TARROW_TCP_PEER_ARG";

// The answers of the listener role.
class PeerProcessor : public IRequestPackProcessor, public IPushPackProcessor {
 public:
  void OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) override {
    if (pack->command == "ECHO") {
      connection->SendResponsePack("RET", pack->body, pack->packId);
    } else if (pack->command == "SIZE") {
      connection->SendResponsePack("RET", std::to_string(pack->body.size()), pack->packId);
    } else if (pack->command == "SLOW") {
      Sleep(static_cast<unsigned int>(std::atoi(pack->body.c_str())));
      connection->SendResponsePack("RET", "late", pack->packId);
    } else if (pack->command == "PUSH") {
      connection->SendPack(new OXPack(OXPack::PackKind::PUSH, "HELLO", pack->body));
      connection->SendResponsePack("RET", "pushed", pack->packId);
    } else if (pack->command == "SILENT") {
      PeerProcess::Report("silent");  // never answered
    }
  }
  void OnReceivedPushPack(IOXConnection*, OXPack*) override {}
};

int RunListener(long keepAliveMs) {
  static PeerProcessor processor;  // lives until the process is killed
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned short port = UnusedLoopbackPort();
    OXTcpListener* listener = new OXTcpListener(port, &processor, &processor);
    if (keepAliveMs > 0) listener->SetKeepAliveInterval(keepAliveMs);
    if (listener->StartListen() == 0 && listener->IsListening()) {
      PeerProcess::Report(std::to_string(port));
      PeerProcess::WaitToBeKilled();
    }
    delete listener;
  }
  return 2;
}

int RunClient(unsigned short port) {
  TcpOXConnection* connection = new TcpOXConnection(nullptr, nullptr);
  try {
    connection->Connect("127.0.0.1", port);
  } catch (Exception* e) {
    PeerProcess::Report("failed " + e->code);
    return 2;
  }
  PeerProcess::Report("0");
  PeerProcess::WaitToBeKilled();
}

// Turns this test program into a peer when it was started as one: the role
// runs before any test, and the process never returns to the tests.
class PeerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!PeerProcess::BecomePeer(kRole)) return;
    const std::string role = std::getenv(kRole);
    const char* argument = std::getenv(kArgument);
    if (role == "listener") _exit(RunListener(std::atol(argument)));
    if (role == "client") _exit(RunClient(static_cast<unsigned short>(std::atoi(argument))));
    _exit(4);
  }
};

::testing::Environment* const g_peerEnvironment = ::testing::AddGlobalTestEnvironment(new PeerEnvironment);

}  // namespace

TcpPeerProcess* TcpPeerProcess::StartListener(long keepAliveMs) {
  return _Start("listener", std::to_string(keepAliveMs));
}

TcpPeerProcess* TcpPeerProcess::StartClient(unsigned short port) { return _Start("client", std::to_string(port)); }

TcpPeerProcess* TcpPeerProcess::_Start(const std::string& role, const std::string& argument) {
  std::unique_ptr<PeerProcess> process = PeerProcess::Start({{kRole, role}, {kArgument, argument}});
  if (process == nullptr) return nullptr;
  const std::string line = process->NextLine(30000);
  if (line.empty() || line.compare(0, 6, "failed") == 0) {
    ADD_FAILURE() << "the " << role << " peer did not start: " << line;
    return nullptr;
  }
  TcpPeerProcess* peer = new TcpPeerProcess();
  peer->_process = std::move(process);
  if (role == "listener") peer->_port = static_cast<unsigned short>(std::atoi(line.c_str()));
  return peer;
}

}  // namespace tarrow_test
