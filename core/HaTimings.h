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
  long whoAreYouTimeoutMs = PeerProtocol::WHO_ARE_YOU_TIMEOUT_MS;
  long validTokenTimeoutMs = PeerProtocol::VALID_TOKEN_B_TIMEOUT_MS;
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

  // ---- taking trees over from the peer ----------------------------------------
  // How long the peer (and this node, for a tree it started) may wait for a
  // tree to become stable.
  long takeoverStableWaitMs = 3000;
  // Time-outs of the takeover notice and of the stop request to the peer.
  long takeoverNotifyMs = 3000;
  long takeoverStopRequestMs = 5000;
  // Pauses after starting a tree here (a sleep, then a wait on the end).
  long afterTakeoverStartMs = 500;
  long afterTakeoverStartWaitMs = 500;
  // Pauses before asking the peer to stop a tree and after it did.
  long beforeStopRequestMs = 500;
  long afterStopRequestMs = 1000;
  // A tree abnormal on the peer ends the takeover (without report) when the
  // stop-failure action acts and the heartbeat came up longer ago than this.
  long takeoverAbortSec = 899;
  // Bounds of one tree's entry: asks of the peer (or waits here) and time,
  // after which the tree is reported as failed.
  int takeoverEntryAsks = 20;
  long takeoverEntryMs = 120000;

  // ---- handing trees to the peer ----------------------------------------------
  long handOverRequestMs = 15000;
  int handOverRetries = 5;
  long handOverRetryPauseMs = 1000;
  // The shutdown hand-over: request time-out, poll interval, the poll's bound
  // (inside the 60 s the stop command waits) and the pause before returning.
  long shutdownTakeoverRequestMs = 10000;
  long shutdownPollMs = 1000;
  long shutdownPollBoundMs = 50000;
  long shutdownFinalPauseMs = 2000;

  // ---- heartbeat-failure check -------------------------------------------------
  // The wait for a link once more after a positive health test.
  long failureRecheckMs = 1000;
  // The wait after the peer said it goes offline.
  long offlineWaitMs = 10000;

  // ---- machine end ---------------------------------------------------------------
  long endPauseMs = 500;
  long endStableWaitMs = 40000;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
