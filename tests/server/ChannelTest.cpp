// The channel tree on its own: paths, splitting and lookup, copying the static tree, clearing.
// Membership and its notifications are tested end to end in ServerOperationsTest.
// Guards against paths split or looked up wrongly, and a static tree copied in the wrong order.
#include "server/Channel.h"

#include <gtest/gtest.h>

#include "server/VoiceServer.h"

namespace quorvane {
namespace {

using Names = std::vector<std::string>;

Channel* addNamed(Channel& parent, const std::string& name) {
  return parent.addChild(std::make_unique<Channel>(name));
}

TEST(ChannelTest, PathsSplitAtSlashesNotPrecededByABackslash) {
  for (const char* path : {"/a/b/", "a/b", "/a//b", "//a/b//"}) {
    EXPECT_EQ(splitChannelPath(path), (Names{"a", "b"})) << path;
  }
  EXPECT_TRUE(splitChannelPath("").empty());
  EXPECT_TRUE(splitChannelPath("/").empty());
  EXPECT_EQ(splitChannelPath("/x\\/y/"), Names{"x\\/y"});
  EXPECT_EQ(splitChannelPath("\\/a/b\\"), (Names{"\\/a", "b\\"}));
}

TEST(ChannelTest, PathsAndLookupFollowTheTree) {
  Channel root("");
  Channel* a = addNamed(root, "a");
  Channel* b = addNamed(*a, "b");
  Channel* odd = addNamed(root, "x\\/y");
  EXPECT_EQ(root.path(), "/");
  EXPECT_EQ(b->path(), "/a/b/");
  EXPECT_EQ(b->parent(), a);

  EXPECT_EQ(findChannel(root, ""), &root);
  EXPECT_EQ(findChannel(root, "/"), &root);
  EXPECT_EQ(findChannel(root, "a//b"), b);
  EXPECT_EQ(findChannel(root, "/x\\/y/"), odd);
  EXPECT_EQ(findChannel(root, "/A/"), nullptr);  // names are case-sensitive
  EXPECT_EQ(findChannel(root, "/a/b/c/"), nullptr);

  // A copy elsewhere has the same path; samePath compares paths, not objects.
  Channel other("");
  Channel* otherB = addNamed(*addNamed(other, "a"), "b");
  EXPECT_TRUE(b->samePath(otherB));
  EXPECT_FALSE(b->samePath(a));
  EXPECT_FALSE(b->samePath(nullptr));
}

TEST(ChannelTest, ChildrenKeepTheirOrderAndTheFirstOfANameWins) {
  Channel root("");
  Channel* first = addNamed(root, "same");
  addNamed(root, "middle");
  Channel* second = addNamed(root, "same");
  EXPECT_EQ(root.findChild("same"), first);
  EXPECT_EQ(root.child(2), second);
  EXPECT_EQ(root.child(3), nullptr);

  root.removeChild("same");
  ASSERT_EQ(root.childCount(), 2u);
  EXPECT_EQ(root.child(0)->name(), "middle");
  EXPECT_EQ(root.findChild("same"), second);
  root.removeChild("none");
  EXPECT_EQ(root.childCount(), 2u);
}

TEST(ChannelTest, TheServerCopiesTheStaticTreeLevelByLevel) {
  Channel source("top");
  source.setTopic("root topic");
  Channel* lobby = addNamed(source, "lobby");
  lobby->setPassword("pw");
  lobby->setTopic("welcome");
  addNamed(*lobby, "corner");
  addNamed(source, "music");

  ReactorPool pool;
  VoiceServer server(pool, &source);
  Channel& root = server.rootChannel();
  EXPECT_EQ(root.topic(), "root topic");
  EXPECT_FALSE(root.isStatic());
  ASSERT_EQ(root.childCount(), 2u);
  Channel* copy = root.child(0);
  EXPECT_NE(copy, lobby);
  EXPECT_EQ(copy->path(), "/lobby/");
  EXPECT_EQ(copy->password(), "pw");
  EXPECT_EQ(copy->topic(), "welcome");
  EXPECT_TRUE(copy->isStatic());
  EXPECT_EQ(root.child(1)->path(), "/music/");
  ASSERT_NE(findChannel(root, "/lobby/corner/"), nullptr);
  EXPECT_TRUE(findChannel(root, "/lobby/corner/")->isStatic());
  // The source stays the caller's, unchanged.
  EXPECT_FALSE(lobby->isStatic());
  EXPECT_EQ(source.childCount(), 2u);
}

TEST(ChannelTest, ClearEmptiesAllButTheOperators) {
  Channel root("name");
  root.setStatic(true);
  root.setTopic("t");
  root.setPassword("p");
  root.addOperator(4);
  addNamed(*addNamed(root, "a"), "b");
  root.clear();
  EXPECT_EQ(root.childCount(), 0u);
  EXPECT_FALSE(root.isStatic());
  EXPECT_EQ(root.name(), "");
  EXPECT_EQ(root.topic(), "");
  EXPECT_FALSE(root.isProtected());
  EXPECT_EQ(root.operators(), std::set<int>{4});
}

}  // namespace
}  // namespace quorvane
