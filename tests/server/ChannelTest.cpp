// The channel tree on its own: paths split at slashes that no backslash escapes, lookup, and the
// first child of a name found first (a static tree may hold two). Membership and pruning are
// tested end to end in ChannelCommandsTest.
// Guards against paths split or looked up wrongly, and a second child of one name found first.
#include "server/Channel.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

TEST(ChannelTest, PathsSplitAtUnescapedSlashesAndLookupFollowsTheTree) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(splitChannelPath("//a/b//"), (Names{"a", "b"}));
  EXPECT_EQ(splitChannelPath("/x\\/y/"), Names{"x\\/y"});
  EXPECT_EQ(splitChannelPath("\\/a/b\\"), (Names{"\\/a", "b\\"}));
  Channel root("");
  Channel* a = root.addChild(std::make_unique<Channel>("a"));
  Channel* b = a->addChild(std::make_unique<Channel>("b"));
  Channel* odd = root.addChild(std::make_unique<Channel>("x\\/y"));
  Channel* second = root.addChild(std::make_unique<Channel>("a"));
  EXPECT_EQ(b->path(), "/a/b/");
  EXPECT_EQ(findChannel(root, "a//b"), b);
  EXPECT_EQ(findChannel(root, "/x\\/y/"), odd);
  EXPECT_EQ(findChannel(root, "/A/"), nullptr);  // names are case-sensitive
  EXPECT_EQ(findChannel(root, "/a/b/c/"), nullptr);
  // Removal takes the first of the name and keeps the others in order.
  root.removeChild("a");
  EXPECT_EQ(root.child(0), odd);
  EXPECT_EQ(root.findChild("a"), second);
  EXPECT_EQ(root.childCount(), 2u);
}

}  // namespace
}  // namespace quorvane
