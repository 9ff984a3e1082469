#ifndef TARROW_CORE_HBPACKEXEC_H
#define TARROW_CORE_HBPACKEXEC_H

#include <memory>
#include <string>

#include "framework/IOXThreadPoolExec.h"
#include "protocol/OXPack.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {
class IOXConnection;
}
namespace Resource {
class ResourceTree;
}
namespace Core {

class HeartBeatManager;
class IHeartBeatLink;
class IHeartBeatMachine;

// The job that serves one request the peer sent on a heartbeat link, run once
// on the thread pool. The link raised the connection's busyCount before it
// queued the job; the job lowers it once, when it is destroyed (after Run, or
// unrun when the pool refused it), so the connection outlives the job and
// every answer goes out on the connection the request came on.
//
// Dispatch by the link's status when the job runs:
// - connecting (1): "HA_VALID_TOKEN_B" and "HA_WHO_ARE_YOU" are served as
//   the responder side of the handshake; anything else gets no answer;
// - connected (2), for a request that came on the link's current connection:
//   "HA_HEART_BEAT" gets "RESPONSE_V0.1 Alpha" (beats are normally answered
//   on the receive thread already); every other word goes to _Dispatch, the
//   peer-request handlers, where a word it does not know (the handshake words
//   included) gets "UNKNOW_CMD";
// - any other status, or a request that came on a connection the link no
//   longer uses: no answer, as while connecting.
class HBPackExec : public Framework::IOXThreadPoolExec {
 public:
  // Copies the five fields of pack.
  HBPackExec(std::shared_ptr<IHeartBeatLink> link, OXProctol::IOXConnection* connection, OXProctol::OXPack* pack);
  // Lowers the connection's busyCount.
  ~HBPackExec() override;

  void Run() override;

  const OXProctol::OXPack& GetPack() const { return _pack; }

 private:
  // Answers "RES" with body and the request's pack id on the request's connection.
  void _Answer(const std::string& body);
  // The responder side of the handshake.
  void _OnValidTokenB();
  void _OnWhoAreYou();
  // The request came on the link's current connection.
  bool _OnCurrentConnection();
  // Every word but the handshake words and the beat, on a connected link.
  void _Dispatch();

  // ---- peer requests (see PeerProtocol) ----------------------------------
  // The handlers answer through _Answer: "ERROR" when a line is missing or
  // the tree or mirror is unknown here; an Exception* of a step passes on
  // (no answer), except in _OnBSSetOperation.
  // The node's HA machine; throws Exception* "HA_MACHINE" when there is none.
  IHeartBeatMachine* _Machine();
  HeartBeatManager* _Manager();
  // The tree of guid, held while the job uses it; null when the machine has none.
  std::shared_ptr<Resource::ResourceTree> _FindTree(const std::string& guid);
  // ms, at most HaTimings::peerWaitCapMs.
  unsigned long _CappedWait(unsigned long long ms);
  void _OnStopTree();
  void _OnGetTryWaitStableStatu();
  void _OnRequestTakeoverNotify();
  void _OnRequestTakeover();
  void _OnGetResourceTreeIsHold();
  void _OnBSNotify();
  void _OnBSGetData();
  void _OnBSSetOperation();

  std::shared_ptr<IHeartBeatLink> _link;
  OXProctol::IOXConnection* const _connection;  // pinned by its busyCount
  OXProctol::OXPack _pack;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
