// Shared set-up of the end-to-end protocol tests: one server on free loopback ports per test and
// clients that log in from chosen voice addresses. Everything runs on the test's thread.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/ServerTestSupport.h"
#include "support/TestClient.h"
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
    if (needsDistinctAddresses_ && !loopbackAddressesDistinct()) {
      GTEST_SKIP() << "every loopback address binds as 127.0.0.1 here";
    }
  }

  // Settings on top of the server name; call before the first client connects.
  void configure(std::function<void(VoiceServer&)> extra) { extra_ = std::move(extra); }

  TestServer& server() {
    if (!server_) {
      server_ = std::make_unique<TestServer>([this](VoiceServer& s) {
        s.setServerName("Quorvane Server");
        if (extra_) extra_(s);
      });
      EXPECT_TRUE(server_->started());
    }
    return *server_;
  }

  // A client that has read its "welcome" and nothing else.
  TestClient& connect(const std::string& voiceAddress = "127.0.0.2") {
    clients_.push_back(
        std::make_unique<TestClient>(server().hostPort(), server().soundPort(), voiceAddress));
    TestClient& client = *clients_.back();
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

 private:
  bool needsDistinctAddresses_;
  std::function<void(VoiceServer&)> extra_;
  std::unique_ptr<TestServer> server_;
  std::vector<std::unique_ptr<TestClient>> clients_;
};

}  // namespace quorvane::test
