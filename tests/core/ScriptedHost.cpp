#include "core/ScriptedHost.h"

#include <gtest/gtest.h>

#include <chrono>

#include "core/PeerProtocol.h"
#include "framework/Convert.h"
#include "framework/Exception.h"
#include "framework/MD5.h"
#include "protocol/OXPack.h"
#include "support/LoopbackPorts.h"

namespace core_test {

using Oxbrindale::Velmora::Core::PeerProtocol;
using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Framework::MD5;
using Oxbrindale::Velmora::OXProctol::IOXConnection;
using Oxbrindale::Velmora::OXProctol::OXPack;
using Oxbrindale::Velmora::OXProctol::OXTcpListener;

namespace {

std::string Digest(const std::string& key, const std::string& nonce) { return MD5(key + "_" + nonce).toString(); }

}  // namespace

ScriptedHost::ScriptedHost(int linkId, std::string firstKey, std::string secondKey)
    : linkId_(linkId), firstKey_(std::move(firstKey)), secondKey_(std::move(secondKey)) {
  for (int attempt = 0; attempt < 50 && !listener_; ++attempt) {
    const unsigned short port = tarrow_test::UnusedLoopbackPort();
    std::unique_ptr<OXTcpListener> listener(new OXTcpListener("127.0.0.1", port, this, this));
    listener->SetOnConnectionEstablished(this);
    if (listener->StartListen() == 0 && listener->IsListening()) {
      port_ = port;
      listener_ = std::move(listener);
    }
  }
  EXPECT_TRUE(listener_) << "the scripted host found no port";
}

ScriptedHost::~ScriptedHost() {
  std::vector<std::thread> late;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    late.swap(late_);
  }
  for (std::thread& thread : late) thread.join();
  listener_.reset();
}

void ScriptedHost::SetScript(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(script);
}

void ScriptedHost::SetMidHandshake(std::function<void(IOXConnection*)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  midHandshake_ = std::move(hook);
}

IOXConnection* ScriptedHost::WaitConnection(long ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (current_.load() == nullptr && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return current_.load();
}

bool ScriptedHost::Ask(const std::string& command, const std::string& body, int ms, std::string* answer) {
  IOXConnection* connection = current_.load();
  return connection != nullptr && Ask(connection, command, body, ms, answer);
}

bool ScriptedHost::Ask(IOXConnection* connection, const std::string& command, const std::string& body, int ms,
                       std::string* answer) {
  try {
    std::unique_ptr<std::string> got(connection->Request(command, body, ms));
    if (!got) return false;
    *answer = *got;
    return true;
  } catch (Exception* e) {
    delete e;
    return false;
  }
}

std::vector<ScriptedHost::Received> ScriptedHost::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void ScriptedHost::OnConnectionEstablished(IOXConnection* connection) {
  const std::string nonce = "4242";
  std::string identity;
  if (!Ask(connection, PeerProtocol::HA_WHO_ARE_YOU, nonce, 5000, &identity)) {
    connection->Disconnect();
    return;
  }
  std::vector<std::string> lines = Convert::tokenize(identity, "\n", false, "");
  if (lines.size() < 6 || lines[0] != PeerProtocol::OK || lines[1] != std::to_string(linkId_) ||
      lines[2] != Digest(firstKey_, nonce)) {
    ADD_FAILURE() << "the node's identity answer is wrong: " << identity;
    connection->Disconnect();
    return;
  }
  std::function<void(IOXConnection*)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = midHandshake_;
  }
  if (hook) hook(connection);
  std::string proof;
  if (!Ask(connection, PeerProtocol::HA_VALID_TOKEN_B, Digest(secondKey_, lines[5]), 20000, &proof) ||
      proof != PeerProtocol::OK) {
    connection->Disconnect();
    return;
  }
  current_.store(connection);
}

void ScriptedHost::OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) {
  if (pack->command == PeerProtocol::HA_HEART_BEAT) {
    ++beats_;
    if (answerBeats_.load()) connection->SendResponsePack(PeerProtocol::ANSWER_COMMAND, PeerProtocol::BEAT_ANSWER, pack->packId);
    return;
  }
  Script script;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back({pack->command, pack->body});
    script = script_;
  }
  if (!script) return;
  const Reply reply = script(pack->command, pack->body);
  if (!reply.answer) return;
  if (reply.delayMs <= 0) {
    connection->SendResponsePack(PeerProtocol::ANSWER_COMMAND, reply.body, pack->packId);
    return;
  }
  const std::string packId = pack->packId;
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<std::atomic<int>> sent = lateSent_;
  late_.emplace_back([connection, reply, packId, sent] {
    std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
    connection->SendResponsePack(PeerProtocol::ANSWER_COMMAND, reply.body, packId);
    ++*sent;
  });
}

void ScriptedHost::OnReceivedPushPack(IOXConnection*, OXPack*) {}

}  // namespace core_test
