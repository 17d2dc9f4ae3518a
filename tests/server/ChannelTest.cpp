// The channel tree on its own: paths, splitting and lookup, children. Membership, the static
// tree and their notifications are tested end to end in ServerOperationsTest.
// Guards against paths split or looked up wrongly, and a second child of one name found first.
#include "server/Channel.h"

#include <gtest/gtest.h>


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

}  // namespace
}  // namespace quorvane
