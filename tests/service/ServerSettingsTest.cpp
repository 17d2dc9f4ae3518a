#include "service/ServerSettings.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "server/Channel.h"
#include "support/Files.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using test::readFile;

std::vector<std::string> fileNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

std::string hosting(const std::string& inner) {
  return "<quorvane version=\"1.1\"><hosting>" + inner + "</hosting></quorvane>";
}

// Every answer on one line, as the service run asks them.
std::string everyKey(ServerSettings& settings) {
  Channel root("");
  std::ostringstream out;
  out << settings.serverLogging() << " " << settings.hostPort() << " " << settings.soundPort()
      << " " << settings.readStaticChannels(&root) << root.childCount() << " ["
      << settings.adminUsername() << "|" << settings.adminPassword() << "|"
      << settings.serverName() << "|" << settings.serverPassword() << "] "
      << settings.allowChannelCreation() << settings.allowForwarding()
      << settings.allowOperators();
  return out.str();
}

// Path, password and topic of every channel below `channel`, depth first.
std::string describeTree(const Channel& channel) {
  std::string text;
  for (const auto& child : channel.children()) {
    text += child->path() + " " + child->password() + "/" + child->topic() + "\n" +
            describeTree(*child);
  }
  return text;
}

class ServerSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ostringstream name;
    name << "quorvane-settings-" << std::random_device()() << "-"
         << std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() / name.str();
    fs::create_directories(dir_);
    path_ = dir_ / "QuorvaneService.xml";
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir_);
  }
  // Writes `content` to the settings path and loads it into settings_.
  bool load(const std::string& content) {
    std::ofstream(path_, std::ios::binary) << content;
    return settings_.loadFile(path_.string());
  }

  fs::path dir_;
  fs::path path_;
  ServerSettings settings_;
};

TEST_F(ServerSettingsTest, RootOnlyOrEmptyFileGivesEveryDefaultAndGainsAnEmptyHosting) {
  for (const std::string content : {"<quorvane version=\"1.1\"/>", ""}) {
    SCOPED_TRACE("file \"" + content + "\"");
    load(content);
    EXPECT_FALSE(settings_.hasError());
    EXPECT_EQ(everyKey(settings_), "0 -1 -1 00 [|||] 111");
    EXPECT_EQ(readFile(path_), "<quorvane version=\"1.1\">\n    <hosting/>\n</quorvane>\n");
    EXPECT_EQ(fileNames(dir_), std::vector<std::string>{"QuorvaneService.xml"});
  }
}

// The first lookup leaves the file in the XML library's printed form, unknown content included.
TEST_F(ServerSettingsTest, AnyRootNameIsAcceptedAndTheFileIsNormalised) {
  const std::string content = "<settings><!--mine--><hosting><server-name>Hall</server-name>"
                              "</hosting><extra a=\"1\"/></settings>";
  ASSERT_TRUE(load(content));
  EXPECT_EQ(settings_.serverName(), "Hall");
  tinyxml2::XMLDocument expected;
  expected.Parse(content.c_str());
  tinyxml2::XMLPrinter printer;
  expected.Print(&printer);
  EXPECT_EQ(readFile(path_), printer.CStr());
}

// Strings are the first child when it is text, unchanged; booleans are "true"/"false" in any case,
// other text false, a missing element its default.
TEST_F(ServerSettingsTest, StringAndBooleanTexts) {
  ASSERT_TRUE(load(hosting("<server-name><!--c-->Hall</server-name>"
                           "<server-password> two words </server-password>"
                           "<admin-username>op</admin-username>"
                           "<admin-password><b/>x</admin-password>"
                           "<allow-operators>TRUE</allow-operators>"
                           "<allow-forwarding>yes</allow-forwarding>"
                           "<server-logging>tRuE</server-logging>")));
  EXPECT_EQ(everyKey(settings_), "1 -1 -1 00 [op||| two words ] 101");

  ASSERT_TRUE(load(hosting("<allow-channel-creation>False</allow-channel-creation>"
                           "<allow-operators></allow-operators>")));
  EXPECT_EQ(everyKey(settings_), "0 -1 -1 00 [|||] 010");
}

TEST_F(ServerSettingsTest, PortsAreReadLikeStrtol) {
  const std::vector<std::pair<std::string, int>> cases = {
      {" 900", 900}, {"900abc", 900}, {"-1", -1}, {"", 0}, {"+42", 42}, {"abc", 0},
      {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}};
  for (const auto& [text, port] : cases) {
    SCOPED_TRACE("text \"" + text + "\"");
    ASSERT_TRUE(load(hosting("<hostport>" + text + "</hostport><soundport>" + text +
                             "</soundport>")));
    EXPECT_EQ(settings_.hostPort(), port);
    EXPECT_EQ(settings_.soundPort(), port);
  }
  // The sound port is looked up without adding or writing anything.
  ASSERT_TRUE(load("<quorvane/>"));
  EXPECT_EQ(settings_.soundPort(), -1);
  EXPECT_EQ(readFile(path_), "<quorvane/>");
}

TEST_F(ServerSettingsTest, StaticChannelsFollowTheNestingInDocumentOrder) {
  ASSERT_TRUE(load(hosting(
      "<static-channels>"
      "<channel><name>lobby</name><password>pw</password><topic>Welcome</topic></channel>"
      "<group><name>not a channel</name></group>"
      "<channel><password>x</password><channel><name>hidden</name></channel></channel>"
      "<channel><name>games</name><topic>Play</topic>"
      "<channel><name>quiet</name><password>hush</password></channel>"
      "<channel><name>loud</name></channel></channel>"
      "<channel><name>after</name></channel>"
      "</static-channels>")));
  EXPECT_FALSE(settings_.readStaticChannels(nullptr));
  Channel root("");
  ASSERT_TRUE(settings_.readStaticChannels(&root));
  EXPECT_EQ(describeTree(root),
            "/lobby/ pw/Welcome\n/games/ /Play\n/games/quiet/ hush/\n/games/loud/ /\n/after/ /\n");
}

TEST_F(ServerSettingsTest, DefaultFileRoundTrip) {
  ASSERT_TRUE(settings_.createDefaultFile(path_.string()));
  ServerSettings reloaded;
  ASSERT_TRUE(reloaded.loadFile(path_.string()));
  EXPECT_EQ(everyKey(reloaded), "0 10300 10301 10 [||Quorvane Server|] 111");
  EXPECT_NE(readFile(path_).find("<!--\t<channel>\t\t<name>a</name>\t\t<password></password>"
                                 "\t\t<topic></topic>\t</channel>-->"),
            std::string::npos);
  EXPECT_FALSE(settings_.createDefaultFile((dir_ / "missing" / "file.xml").string()));
}

TEST_F(ServerSettingsTest, FileThatFailsToParseOrToBeReadIsNeverWritten) {
  const std::string broken = "<quorvane><hosting><server-name>Mine</server-name><hostport>9";
  EXPECT_FALSE(load(broken));
  EXPECT_TRUE(settings_.hasError());
  EXPECT_FALSE(settings_.errorDescription().empty());
  everyKey(settings_);
  EXPECT_EQ(readFile(path_), broken);

  fs::remove(path_);
  fs::create_directory(path_);
  EXPECT_FALSE(settings_.loadFile(path_.string()));
  EXPECT_TRUE(settings_.hasError());
  everyKey(settings_);
  EXPECT_FALSE(settings_.createDefaultFile(path_.string()));
  EXPECT_TRUE(fs::is_directory(path_) && fs::is_empty(path_));
  EXPECT_EQ(fileNames(dir_), std::vector<std::string>{"QuorvaneService.xml"});
}

// With the file and its directory read-only the write-back fails (unless we run as root); the
// values must come through either way.
TEST_F(ServerSettingsTest, ReadOnlyFileStillGivesItsValues) {
  const std::string content = hosting("<server-name>Mine</server-name><hostport>900</hostport>"
                                      "<allow-forwarding>false</allow-forwarding>");
  std::ofstream(path_, std::ios::binary) << content;
  fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(dir_, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  ASSERT_TRUE(settings_.loadFile(path_.string()));
  EXPECT_EQ(settings_.serverName(), "Mine");
  EXPECT_EQ(settings_.hostPort(), 900);
  EXPECT_FALSE(settings_.allowForwarding());
  EXPECT_EQ(fileNames(dir_), std::vector<std::string>{"QuorvaneService.xml"});
}

#ifndef _WIN32
TEST_F(ServerSettingsTest, WritesKeepPermissionsAndLeaveNoTemporaryFile) {
  mode_t mask = umask(022);
  ASSERT_TRUE(settings_.createDefaultFile(path_.string()));
  EXPECT_EQ(fs::status(path_).permissions(), static_cast<fs::perms>(0644));

  ASSERT_TRUE(load("<quorvane/>"));
  fs::permissions(path_, static_cast<fs::perms>(0600));
  settings_.serverName();
  umask(mask);
  EXPECT_NE(readFile(path_).find("<hosting/>"), std::string::npos);
  EXPECT_EQ(fs::status(path_).permissions(), static_cast<fs::perms>(0600));
  EXPECT_EQ(fileNames(dir_), std::vector<std::string>{"QuorvaneService.xml"});
}

// A file name so long that no longer name fits beside it: the temporary file cannot be created,
// whoever runs the test.
TEST_F(ServerSettingsTest, WriteThatCannotCreateItsTemporaryFileLeavesTheOldFile) {
  const std::string name = std::string(250, 's') + ".xml";
  path_ = dir_ / name;
  const std::string content = hosting("<hostport>900</hostport>") + "\n";
  ASSERT_TRUE(load(content));
  EXPECT_EQ(settings_.hostPort(), 900);
  EXPECT_EQ(readFile(path_), content);
  EXPECT_EQ(fileNames(dir_), std::vector<std::string>{name});
}
#endif

}  // namespace
}  // namespace quorvane
