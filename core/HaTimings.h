#ifndef TARROW_CORE_HATIMINGS_H
#define TARROW_CORE_HATIMINGS_H

#include "core/PeerProtocol.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// Every wait of the failover core in milliseconds, with the daemon's values
// as defaults. A node's HeartBeatManager holds one copy and its links read it
// there; tests shorten them. The beat interval, reply time-out and failure
// limit are settings of hb.cfg and are not here.
struct HaTimings {
  // A link's wait for the handshake to validate a new connection.
  long validationWaitMs = 5000;
  // Pause between two connection attempts of a link.
  long retryWaitMs = 2000;
  // Pause of a link thread after its record was changed by the console.
  long modifiedPauseMs = 3000;
  // Pause between the loss of a connected link and its next attempt.
  long afterLossMs = 1000;
  // Pause after the peer rejected this node's key proof.
  long tokenErrorMs = 2000;
  // Pause after the peer refused this connection ("CS_INVALID_STATU").
  long refusedMs = 5000;
  // How long the host side leaves a connection it rejected to the peer
  // before it closes it itself.
  long graceCloseMs = 5000;
  // The pending operation Pause of a link.
  long pauseOpMs = 3000;
  // The host side's waits for the answers to "HA_WHO_ARE_YOU" and
  // "HA_VALID_TOKEN_B".
  long whoAreYouTimeoutMs = 2000;
  long validTokenTimeoutMs = 20000;
  // Wait of a link's destructor for its thread, repeated until it ended.
  long linkExitWaitMs = 13000;

  // ---- answering the peer's requests -----------------------------------------
  // Longest wait of a request job for a tree to become stable (the stable-
  // status and hold questions): the requester gives up after at most 10000 ms,
  // and a longer wait only keeps a pool worker from other requests.
  long peerWaitCapMs = 10000;
  // Delay of the answer to the exec-test request.
  long execTestDelayMs = 5000;

  // ---- the HA machine ------------------------------------------------------
  // Longest wait of the machine thread for a queued operation.
  long loopWakeMs = 60000;
  // Pause of the machine thread after each operation.
  long opPauseMs = 100;
  // Pause between queuing the start and opening the console listener.
  long consoleListenerDelayMs = 1000;
  // The start's wait for a first link.
  long firstLinkWaitMs = 10000;
  // Pause before the trees are settled with the peer.
  long syncPauseMs = 3000;
  // The init decision's wait for a link.
  long initLinkWaitMs = 3000;
  // Seconds without any link after which a node alone decides once.
  long loneNodeDecisionSec = 300;
  // Pause of the init decision when the start delay has already passed.
  long afterStartDelayMs = 5000;
  // Longest wait of the init decision for one tree to become stable; a tree
  // still unsettled then is left as it is.
  long stableTreeBoundMs = 600000;
  // Time-outs of the questions the start asks the peer: is its first start
  // done, does it hold a tree.
  long firstBootRequestMs = PeerProtocol::IS_FIRST_BOOT_DONE_TIMEOUT_MS;
  long holdRequestMs = PeerProtocol::RESOURCE_TREE_IS_HOLD_TIMEOUT_MS;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
