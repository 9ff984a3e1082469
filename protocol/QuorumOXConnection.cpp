#include "protocol/QuorumOXConnection.h"

#include <cstdio>

#include "config/ConfigManager.h"
#include "config/HeartBeatGlobalConfig.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "protocol/OXQuorum.h"
#include "protocol/QuorumOXReceiveThread.h"
#include "protocol/QuorumOXSendThread.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

using Framework::OXQuorum;

QuorumOXConnection::QuorumOXConnection(IPushPackProcessor* pushProcessor, IRequestPackProcessor* requestProcessor)
    : IOXConnection(pushProcessor, requestProcessor), _pollMs(OXQuorum::POLL_MS) {}

QuorumOXConnection::~QuorumOXConnection() {
  Disconnect();
  _StopThreads();
  _WaitBusyJobs();
  delete _quorum.exchange(nullptr);
  Framework::EventManager::Instance()->Debug("@@@ In ~QuorumOXConnection.");
}

void QuorumOXConnection::Connect(const std::string& devicePath) {
  if (_quorum.load() != nullptr) throw new Exception("CONN_ERR", "establish virtual disk connection fail!");
  OXQuorum* quorum = new OXQuorum(devicePath);
  quorum->SetPollInterval(_pollMs.load());
  _quorum.store(quorum);
  const bool hostSide = Config::ConfigManager::Instance()->GetHeartBeatGlobalConfig()->GetHostRole() == 1;
  if (!quorum->Open(hostSide)) throw new Exception("CONN_ERR", "establish virtual disk connection fail!");
  _sendThread = new QuorumOXSendThread(quorum);
  _receiveThread = new QuorumOXReceiveThread(quorum);
  _OnConnectionEstablished();
}

bool QuorumOXConnection::IsConnected() {
  OXQuorum* quorum = _quorum.load();
  return quorum != nullptr && quorum->IsOpened();
}

void QuorumOXConnection::Disconnect() {
  OXQuorum* quorum = _quorum.load();
  if (quorum != nullptr) quorum->Close();
}

void QuorumOXConnection::SetPollInterval(unsigned int ms) {
  _pollMs.store(ms);
  OXQuorum* quorum = _quorum.load();
  if (quorum != nullptr) quorum->SetPollInterval(ms);
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
