#ifndef TARROW_CORE_PEERPROTOCOL_H
#define TARROW_CORE_PEERPROTOCOL_H

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// The node-to-node protocol on a heartbeat link: every command word, answer
// word and time-out that the two nodes exchange. The requesting side
// (HeartBeatManager) and the answering side (HBPackExec) spell the wire only
// through these names.
//
// Request pack: kind "request", one of the words below, a fresh pack id, the
// body. Answer: kind "response", command ANSWER_COMMAND, the request's pack
// id, the answer body. A body of several values holds one value per line,
// joined by LF without a final LF; the receiver drops every CR and splits at
// LF (an empty line is an empty value). Words are compared exactly.
struct PeerProtocol {
  // ---- command words, in the order the answering side tests them -----------
  // Link handshake (answered only while the link is connecting).
  static constexpr const char* HA_WHO_ARE_YOU = "HA_WHO_ARE_YOU";      // host nonce -> identity answer
  static constexpr const char* HA_VALID_TOKEN_B = "HA_VALID_TOKEN_B";  // digest -> OK / ERROR
  // Beat: body BEAT_ASK (not examined) -> BEAT_ANSWER.
  static constexpr const char* HA_HEART_BEAT = "HA_HEART_BEAT";
  // GUID LF STOP_MANUAL|STOP_AUTOMATIC -> OK (the stop is asked, not awaited) / ERROR.
  static constexpr const char* RES_StopTree = "RES_StopTree";
  // GUID LF wait ms -> OK LF status (-1..5), after waiting up to the wait for a stable tree / ERROR.
  static constexpr const char* RES_GetTryWaitResourceTreeStableStatu = "RES_GetTryWaitResourceTreeStableStatu";
  // GUID (first line) -> OK once the hold flag is cleared and saved / ERROR.
  static constexpr const char* RES_RequestTakeoverNotify = "RES_RequestTakeoverNotify";
  // GUIDs, one per line -> OK when the machine queued the takeover / ERROR.
  static constexpr const char* RES_RequestTakeover = "RES_RequestTakeover";
  // empty -> OK LF TRUE_WORD|FALSE_WORD (start operation finished).
  static constexpr const char* MAC_GetIsFirstBootDone = "MAC_GetIsFirstBootDone";
  // GUID (whole body) -> OK LF TRUE_WORD|FALSE_WORD (hold flag, after a wait for a stable tree) / ERROR.
  static constexpr const char* MAC_GetResourceTreeIsHold = "MAC_GetResourceTreeIsHold";
  // empty -> OK LF TRUE_WORD|FALSE_WORD (machine status running).
  static constexpr const char* MAC_GetRemoteMachineIsRunningStatu = "MAC_GetRemoteMachineIsRunningStatu";
  // empty -> OK: the peer's system shuts down.
  static constexpr const char* SYS_Shutdown = "SYS_Shutdown";
  // empty -> OK: the peer's daemon goes offline, its trees keep running.
  static constexpr const char* SYS_Offline = "SYS_Offline";
  // mirror name (whole body) -> OK once the split-brain notice is handled.
  static constexpr const char* BS_NOTIFY = "BS_NOTIFY";
  // mirror name (whole body) -> OK LF data stamp LF out-of-sync bytes (u64 decimal) / ERROR.
  static constexpr const char* BS_GETDATA = "BS_GETDATA";
  // mirror name (whole body) -> OK LF BS_ALLOWED|BS_NOT_ALLOWED.
  static constexpr const char* BS_CAN_PROCESS = "BS_CAN_PROCESS";
  // empty -> OK after HaTimings::execTestDelayMs.
  static constexpr const char* RES_REQUEST_EXEC_TEST = "RES_REQUEST_EXEC_TEST";
  // mirror name LF BS_KEEP (retain) or anything else (discard) -> OK / ERROR.
  static constexpr const char* BS_SET_OPERATION = "BS_SET_OPERATION";

  // ---- pushes on a link -----------------------------------------------------
  static constexpr const char* HA_TOKENB_ERROR = "HA_TOKENB_ERROR";    // the peer's key proof was wrong
  static constexpr const char* CS_INVALID_STATU = "CS_INVALID_STATU";  // connection refused; body: link status
  static constexpr const char* MSG = "MSG";                            // text for the event bus

  // ---- answers --------------------------------------------------------------
  static constexpr const char* ANSWER_COMMAND = "RES";  // command of every answer pack
  static constexpr const char* OK = "OK";               // first line of every success
  static constexpr const char* ERROR = "ERROR";         // cannot be served / refused
  static constexpr const char* UNKNOW_CMD = "UNKNOW_CMD";
  static constexpr const char* BEAT_ASK = "ASK";
  static constexpr const char* BEAT_ANSWER = "RESPONSE_V0.1 Alpha";  // compared whole
  static constexpr const char* TRUE_WORD = "true";                   // compared exactly
  static constexpr const char* FALSE_WORD = "false";
  static constexpr const char* BS_ALLOWED = "1";
  static constexpr const char* BS_NOT_ALLOWED = "0";
  static constexpr const char* STOP_MANUAL = "M";     // anything else is an automatic stop
  static constexpr const char* STOP_AUTOMATIC = "A";
  static constexpr const char* BS_KEEP = "1";         // anything else discards
  static constexpr const char* BS_DISCARD = "0";
  static constexpr const char LINE_SEPARATOR = '\n';

  // ---- requesters' time-outs (ms) -------------------------------------------
  // Operations whose caller passes the time-out (RES_StopTree,
  // RES_RequestTakeoverNotify, RES_RequestTakeover) and the stable-status
  // question (twice the wait it asks for) have none here.
  static constexpr int WHO_ARE_YOU_TIMEOUT_MS = 2000;
  static constexpr int VALID_TOKEN_B_TIMEOUT_MS = 20000;
  static constexpr int STABLE_STATU_TIMEOUT_FACTOR = 2;
  static constexpr int IS_FIRST_BOOT_DONE_TIMEOUT_MS = 6000;
  static constexpr int RESOURCE_TREE_IS_HOLD_TIMEOUT_MS = 10000;
  static constexpr int MACHINE_IS_RUNNING_TIMEOUT_MS = 3000;
  static constexpr int SYSTEM_SHUTDOWN_TIMEOUT_MS = 3000;
  static constexpr int OFFLINE_TIMEOUT_MS = 3000;
  static constexpr int BS_NOTIFY_TIMEOUT_MS = 3000;
  static constexpr int BS_GETDATA_TIMEOUT_MS = 3000;
  static constexpr int BS_CAN_PROCESS_TIMEOUT_MS = 3000;
  static constexpr int EXEC_TEST_TIMEOUT_MS = 10000;
  static constexpr int BS_SET_OPERATION_TIMEOUT_MS = 5000;

  // ---- answering side --------------------------------------------------------
  // Wait of the hold question for a stable tree, before HaTimings::peerWaitCapMs.
  static constexpr unsigned long RESOURCE_TREE_IS_HOLD_WAIT_MS = 120000;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
