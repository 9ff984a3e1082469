// The HA machine's queue: which status takes which queuing call, what stays
// pending after an operation, and the heartbeat-failure check that no later
// queuing replaces.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/MachineTestSupport.h"
#include "framework/Exception.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;

TEST(MachineQueue, EachQueuingCallInEachStatus) {
  for (int statu = -2; statu <= 7; ++statu) {
    SCOPED_TRACE("status " + std::to_string(statu));
    {
      MachineNode node(false, 1, false);
      TestMachine& machine = node.Machine();
      machine._ForceStatu(statu);
      machine._RequestStart();
      EXPECT_EQ(statu == -1 ? HAM_OP_START : HAM_OP_REST, machine.GetPendingOperation());
    }
    {
      MachineNode node(false, 1, false);
      TestMachine& machine = node.Machine();
      machine._ForceStatu(statu);
      // While being taken over the takeover waits behind the hand-over.
      const bool taken = machine.RequestTakeOverResourceTree("{A}\n{B}", true);
      EXPECT_EQ(statu == 3 || statu == 7, taken);
      EXPECT_EQ(statu == 3 ? HAM_OP_TAKEOVER : HAM_OP_REST, machine.GetPendingOperation());
      EXPECT_EQ(statu == 3 ? "{A}\n{B}" : "", machine.GetOperationGuids());
    }
    {
      MachineNode node(false, 1, false);
      TestMachine& machine = node.Machine();
      machine._ForceStatu(statu);
      const bool taken = machine.RequestFailureCheck();
      EXPECT_EQ(statu == 3 || statu == 4 || statu == 5 || statu == 7, taken);
      EXPECT_EQ(taken, machine.IsFailureCheckPending());
      EXPECT_EQ(HAM_OP_REST, machine.GetPendingOperation());
    }
  }
}

// What is pending after each operation returned: init and being taken over
// repeat, the others go to rest unless they queued another.
TEST(MachineQueue, WhatStaysPendingAfterAnOperation) {
  struct Row {
    int op;
    int queuedByIt;  // -1: none
    int pendingAfter;
  };
  const std::vector<Row> rows = {
      {HAM_OP_START, -1, HAM_OP_REST},         {HAM_OP_START, HAM_OP_INIT, HAM_OP_INIT},
      {HAM_OP_TAKEOVER, -1, HAM_OP_REST},      {HAM_OP_INIT, -1, HAM_OP_INIT},
      {HAM_OP_INIT, HAM_OP_TAKEOVER, HAM_OP_TAKEOVER}, {HAM_OP_BE_TAKEN_OVER, -1, HAM_OP_BE_TAKEN_OVER},
      {HAM_OP_BE_TAKEN_OVER, HAM_OP_REST, HAM_OP_REST}, {HAM_OP_REST, -1, HAM_OP_REST}};
  for (const Row& row : rows) {
    SCOPED_TRACE("operation " + std::to_string(row.op) + " queuing " + std::to_string(row.queuedByIt));
    MachineNode node(false, 1, false);
    TestMachine& machine = node.Machine();
    machine.scripted = true;
    machine.body = [&](int) {
      if (row.queuedByIt >= 0) machine._SetOperation(row.queuedByIt, "");
    };
    machine._SetOperation(row.op, "{A}");
    machine._RunPendingOperation();
    EXPECT_EQ(row.pendingAfter, machine.GetPendingOperation());
    if (row.op != HAM_OP_REST) {
      EXPECT_EQ(std::vector<int>{row.op}, machine.Ran());
    }
    // A repeating operation runs again at the next turn.
    machine.body = nullptr;
    machine._RunPendingOperation();
    if (row.pendingAfter == row.op && row.op != HAM_OP_REST) {
      EXPECT_EQ(2, machine.CountRan(row.op));
    }
  }
}

// A failure check queued before a takeover or a hand-over is still pending
// after them and runs first; the other operation runs next.
TEST(MachineQueue, AFailureCheckSurvivesLaterQueuingAndRunsFirst) {
  for (int later : {HAM_OP_TAKEOVER, HAM_OP_BE_TAKEN_OVER}) {
    SCOPED_TRACE("later operation " + std::to_string(later));
    MachineNode node(false, 1, false);
    TestMachine& machine = node.Machine();
    machine.scripted = true;
    machine._ForceStatu(HAM_RUNNING);
    ASSERT_TRUE(machine.RequestFailureCheck());
    if (later == HAM_OP_TAKEOVER)
      ASSERT_TRUE(machine.RequestTakeOverResourceTree("{A}", false));
    else
      machine._SetOperation(HAM_OP_BE_TAKEN_OVER, "{A}");  // as a failed tree queues it
    EXPECT_TRUE(machine.IsFailureCheckPending());
    machine._RunPendingOperation();
    machine._RunPendingOperation();
    EXPECT_EQ((std::vector<int>{HAM_OP_FAILURE_CHECK, later}), machine.Ran());
    EXPECT_FALSE(machine.IsFailureCheckPending());
  }
}

// A throwing failure check stays pending, ahead of everything else.
TEST(MachineQueue, AThrowingFailureCheckRunsAgain) {
  MachineNode node(false, 1, false);
  TestMachine& machine = node.Machine();
  machine.scripted = true;
  int calls = 0;
  machine.body = [&](int op) {
    if (op == HAM_OP_FAILURE_CHECK && ++calls == 1) throw new Exception("TEST", "first check fails");
  };
  machine._ForceStatu(HAM_RUNNING);
  ASSERT_TRUE(machine.RequestFailureCheck());
  ASSERT_TRUE(machine.RequestTakeOverResourceTree("{A}", false));
  machine._RunPendingOperation();
  EXPECT_TRUE(machine.IsFailureCheckPending());
  machine._RunPendingOperation();
  machine._RunPendingOperation();
  EXPECT_EQ((std::vector<int>{HAM_OP_FAILURE_CHECK, HAM_OP_FAILURE_CHECK, HAM_OP_TAKEOVER}), machine.Ran());
}

// On the machine thread: an operation that throws is left pending and runs
// again at the thread's next wake-up, without any new queuing.
TEST(MachineQueue, AThrowingOperationRunsAgainAtTheNextWakeUp) {
  MachineNode node(false, 1, false);
  node.timings.loopWakeMs = 200;
  TestMachine& machine = node.Machine();
  machine.scripted = true;
  std::atomic<int> starts{0};
  machine.body = [&](int op) {
    if (op == HAM_OP_START && ++starts == 1) throw new Exception("TEST", "the start fails once");
  };
  node.Start();
  ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_START) == 2; }));
  EXPECT_TRUE(Eventually([&] { return machine.GetPendingOperation() == HAM_OP_REST; }));
}

}  // namespace
}  // namespace core_test
