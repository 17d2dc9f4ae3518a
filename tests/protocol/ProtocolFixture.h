// Shared set-up of the end-to-end tests of protocol/ and server/: one server on free loopback
// ports per test, started on first use, and clients that log in from chosen voice addresses.
// Everything runs on the test's thread; the server is stopped before the clock it reads goes.
#pragma once

#include <gmock/gmock.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/ServerTestSupport.h"
#include "support/TestServer.h"

namespace quorvane::test {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ProtocolTest : public ::testing::Test {
 protected:
  // Tests whose clients must not be local need loopback addresses other than 127.0.0.1.
  explicit ProtocolTest(bool needsDistinctAddresses = true)
      : needsDistinctAddresses_(needsDistinctAddresses) {}

  void SetUp() override {
    if (needsDistinctAddresses_ && !loopbackAddressesDistinct())
      GTEST_SKIP() << kOneLoopbackAddress;
  }

  // Settings on top of the server name, and a static channel tree; call before server() or the
  // first client.
  void configure(std::function<void(VoiceServer&)> extra, const Channel* tree = nullptr) {
    extra_ = std::move(extra);
    tree_ = tree;
  }
  // Limits changed from the defaults by `adjust`, then `extra` as for configure.
  void configureLimits(std::function<void(ServerLimits&)> adjust,
                       std::function<void(VoiceServer&)> extra = {},
                       const Channel* tree = nullptr) {
    configure(
        [adjust = std::move(adjust), extra = std::move(extra)](VoiceServer& s) {
          ServerLimits limits;
          adjust(limits);
          s.setLimits(limits);
          if (extra) extra(s);
        },
        tree);
  }

  TestServer& server() {
    if (!server_) {
      server_ = std::make_unique<TestServer>(
          [this](VoiceServer& s) {
            s.setServerName("Quorvane Server");
            if (extra_) extra_(s);
          },
          tree_);
      EXPECT_TRUE(server_->started());
    }
    return *server_;
  }
  VoiceServer& voiceServer() { return server().server(); }

  // A client that has read nothing yet.
  TestClient& open(const std::string& voiceAddress = "127.0.0.2",
                   const std::string& tcpAddress = std::string()) {
    clients_.push_back(std::make_unique<TestClient>(server().hostPort(), server().soundPort(),
                                                    voiceAddress, tcpAddress));
    return *clients_.back();
  }
  // A client that has read its "welcome" and nothing else.
  TestClient& connect(const std::string& voiceAddress = "127.0.0.2") {
    TestClient& client = open(voiceAddress);
    EXPECT_THAT(client.readWelcome(), ::testing::StartsWith("welcome id="));
    return client;
  }

  // A logged-in client. The lines of everybody's login exchange are read and dropped, so every
  // client starts its test with nothing pending.
  TestClient& member(const std::string& nick, const std::string& voiceAddress,
                     const std::string& version = "2.1") {
    TestClient& client = connect(voiceAddress);
    Lines lines = client.login(nick, version);
    EXPECT_THAT(lines, ::testing::Contains(::testing::StartsWith("accepted id=")));
    for (auto& other : clients_) {
      if (other.get() != &client && other->connected()) other->linesBeforePong();
    }
    return client;
  }

  ManualClock clock_{1000000};  // for VoiceServer::setClock: outlives the server

 private:
  bool needsDistinctAddresses_;
  std::function<void(VoiceServer&)> extra_;
  const Channel* tree_ = nullptr;
  std::unique_ptr<TestServer> server_;
  std::vector<std::unique_ptr<TestClient>> clients_;
};

}  // namespace quorvane::test
