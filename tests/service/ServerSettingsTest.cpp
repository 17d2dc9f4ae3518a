// The settings file. Guards against a write-back that changes the layout, writes through a link or
// a protected file, or loses a value.
#include "service/ServerSettings.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
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
using test::writeFile;

std::vector<std::string> fileNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// The file's inode, which a replacement changes; 0 on Windows, where the bytes alone tell.
unsigned long long inodeOf([[maybe_unused]] const fs::path& path) {
#ifdef _WIN32
  return 0;
#else
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
#endif
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
    dir_ = test::makeTempDirectory("settings");
    path_ = dir_ / "QuorvaneService.xml";
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    makeWritable();
    fs::remove_all(dir_);
  }
  // Windows removes no read-only file.
  void makeWritable() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_write, fs::perm_options::add, ignored);
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
    EXPECT_EQ(readFile(path_), "<quorvane version=\"1.1\"><hosting></hosting></quorvane>\n");
    EXPECT_EQ(fileNames(dir_), std::vector<std::string>{"QuorvaneService.xml"});
  }
}

// The write-back keeps the layout, the blanks, a byte order mark and what the server does not
// know; a file it printed prints to the same bytes at the next start, and is then not written.
TEST_F(ServerSettingsTest, TheWriteBackKeepsTheLayoutAndPrintsTheSameAgain) {
  const std::string content =
      "\xEF\xBB\xBF<?xml version='1.0'?>\n<!-- top -->\n<settings>\n  <!--mine-->\n  <hosting>\n"
      "    <server-name>Hall</server-name>\r\n    <server-password> </server-password>\n"
      "  </hosting>\n\t<extra a='1'/>\n</settings>";
  const std::string printed =
      "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- top -->\n<settings>\n  <!--mine-->\n  <hosting>\n"
      "    <server-name>Hall</server-name>\r\n    <server-password> </server-password>\n"
      "  </hosting>\n\t<extra a=\"1\"></extra>\n</settings>\n";
  ASSERT_TRUE(load(content));
  EXPECT_EQ(settings_.serverPassword(), " ");
  EXPECT_EQ(readFile(path_), printed);
  const auto inode = inodeOf(path_);
  ServerSettings again;
  ASSERT_TRUE(again.loadFile(path_.string()));
  EXPECT_EQ(everyKey(again), "0 -1 -1 00 [||Hall| ] 111");
  EXPECT_EQ(readFile(path_), printed);
  EXPECT_EQ(inodeOf(path_), inode) << "a file already in printed form was replaced";
}

// Strings are the first child when it is text, unchanged; booleans are "true"/"false" in any case,
// other text false, a missing element its default.
TEST_F(ServerSettingsTest, StringAndBooleanTexts) {
  ASSERT_TRUE(load(hosting("<server-name><!--c-->Hall</server-name>"
                           "<server-password> two words </server-password>"
                           "<admin-username>\t</admin-username>"
                           "<admin-password><b/>x</admin-password>"
                           "<allow-operators>TRUE</allow-operators>"
                           "<allow-forwarding>yes</allow-forwarding>"
                           "<server-logging>tRuE</server-logging>")));
  EXPECT_EQ(everyKey(settings_), "1 -1 -1 00 [\t||| two words ] 101");
  EXPECT_EQ(settings_.keyText("admin-username"), std::optional<std::string>("\t"));
  EXPECT_EQ(settings_.keyText("admin-password"), std::optional<std::string>(""));
  EXPECT_EQ(settings_.keyText("missing"), std::nullopt);

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

// A server name, channel name or topic goes to clients inside quotation marks on one line: CR LF
// pairs travel escaped, a lone CR or LF or a final backslash would break the line.
TEST_F(ServerSettingsTest, ValuesThatWouldBreakAClientLineAreIgnored) {
  const std::vector<std::pair<std::string, bool>> names = {
      {"Hall", true},       {"two\r\nlines", true}, {"back\\slash", true}, {"\r\n", true},
      {"two\nlines", false}, {"two\rlines", false},  {"Hall\n", false},    {"&#10;", false},
      {"Hall\\", false},   {"a\r\r\n", false}};
  for (const auto& [name, kept] : names) {
    SCOPED_TRACE("name \"" + name + "\"");
    ASSERT_TRUE(load(hosting("<server-name>" + name + "</server-name>")));
    const std::string read = settings_.serverName();
    EXPECT_EQ(read.empty(), !kept) << read;
    EXPECT_EQ(settings_.ignoredValues(),
              kept ? std::vector<std::string>{} : std::vector<std::string>{"the server name"});
  }

  ASSERT_TRUE(load(hosting("<static-channels>"
                           "<channel><name>lobby</name><topic>two\nlines</topic></channel>"
                           "<channel><name>a\rb</name><channel><name>inner</name></channel>"
                           "</channel>"
                           "<channel><name>games</name><topic>fine</topic>"
                           "<channel><name>end\\</name></channel></channel>"
                           "</static-channels>")));
  Channel root("");
  ASSERT_TRUE(settings_.readStaticChannels(&root));
  EXPECT_EQ(describeTree(root), "/lobby/ /\n/games/ /fine\n");
  EXPECT_EQ(settings_.ignoredValues(),
            (std::vector<std::string>{"the topic of static channel /lobby/",
                                      "static channel /a\\rb/ and its sub-channels",
                                      "static channel /games/end\\/ and its sub-channels"}));
}

// The default file is laid out one element to a line and reads back unchanged.
TEST_F(ServerSettingsTest, DefaultFileRoundTrip) {
  ASSERT_TRUE(settings_.createDefaultFile(path_.string()));
  const std::string created = readFile(path_);
  ServerSettings reloaded;
  ASSERT_TRUE(reloaded.loadFile(path_.string()));
  EXPECT_EQ(everyKey(reloaded), "0 10300 10301 10 [||Quorvane Server|] 111");
  EXPECT_EQ(readFile(path_), created);
  EXPECT_NE(created.find("\n        <server-password></server-password>\n"), std::string::npos)
      << created;
  EXPECT_NE(created.find("<!--\t<channel>\t\t<name>a</name>\t\t<password></password>"
                         "\t\t<topic></topic>\t</channel>-->"),
            std::string::npos);
  EXPECT_FALSE(settings_.createDefaultFile((dir_ / "missing" / "file.xml").string()));
}

// What parsed before the error is read, the rest takes its default, and the file stays as it is,
// start after start (the second case was found by the settings fuzz target).
TEST_F(ServerSettingsTest, FileThatFailsToParseOrToBeReadIsNeverWritten) {
  const std::string broken =
      "<quorvane>\n<hosting><server-name>Mine</server-name><hostport>9</hostport>"
      "<static-channels><channel><name>lobby</name></channel></static-channels>"
      "</hosting><oops></quorvane>";
  EXPECT_FALSE(load(broken));
  EXPECT_EQ(settings_.errorDescription(), "Start-end tags mismatch at line 2, column 153.");
  EXPECT_EQ(everyKey(settings_), "0 9 -1 11 [||Mine|] 111");
  EXPECT_EQ(readFile(path_), broken);
  const std::string trailing =
      "<quorvane version=\"1.1\"><hosting><server-name>Mine</server-name><static-channels>"
      "<channel><name>a</name></channel></static-channels></hosting></quorvane>tail</quorvane>";
  // Nor when the hosting element, missing, had to be added.
  const std::string noHosting = "<quorvane version=\"1.1\"><oops></quorvane>";
  EXPECT_FALSE(load(noHosting));
  EXPECT_EQ(everyKey(settings_), "0 -1 -1 00 [|||] 111");
  EXPECT_EQ(readFile(path_), noHosting);
  writeFile(path_, trailing);
  for (int start = 0; start < 2; ++start) {
    ServerSettings settings;
    EXPECT_FALSE(settings.loadFile(path_.string())) << start;
    EXPECT_EQ(everyKey(settings), "0 -1 -1 11 [||Mine|] 111") << start;
    EXPECT_EQ(readFile(path_), trailing) << start;
  }

  fs::remove(path_);
  fs::create_directory(path_);
  EXPECT_FALSE(settings_.loadFile(path_.string()));
  EXPECT_TRUE(settings_.hasError());
  everyKey(settings_);
  EXPECT_FALSE(settings_.createDefaultFile(path_.string()));
  EXPECT_TRUE(fs::is_directory(path_) && fs::is_empty(path_));
  EXPECT_EQ(fileNames(dir_), std::vector<std::string>{"QuorvaneService.xml"});
}

// A file without write permission bits, or in a read-only directory, gives its values and is
// never written, also when root runs the server. The content would change if it were written.
TEST_F(ServerSettingsTest, WriteProtectedFileGivesItsValuesAndStaysAsItIs) {
  const std::string content = "<quorvane version='1.1'><hosting><server-name>Mine</server-name>"
                              "<hostport>900</hostport><allow-forwarding>false</allow-forwarding>"
                              "</hosting></quorvane>";
  for (bool directoryToo : {false, true}) {
    SCOPED_TRACE(directoryToo ? "read-only directory" : "read-only file");
    makeWritable();
    writeFile(path_, content);
    fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    if (directoryToo) {
      fs::permissions(dir_, fs::perms::owner_write | fs::perms::group_write |
                                fs::perms::others_write, fs::perm_options::remove);
    }
    const auto inode = inodeOf(path_);
    ServerSettings settings;
    ASSERT_TRUE(settings.loadFile(path_.string()));
    EXPECT_EQ(everyKey(settings), "0 900 -1 00 [||Mine|] 101");
    EXPECT_EQ(readFile(path_), content);
    EXPECT_EQ(fileNames(dir_), std::vector<std::string>{"QuorvaneService.xml"});
    EXPECT_EQ(inodeOf(path_), inode);
  }
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
  EXPECT_NE(readFile(path_).find("<hosting></hosting>"), std::string::npos);
  EXPECT_EQ(fs::status(path_).permissions(), static_cast<fs::perms>(0600));
  EXPECT_EQ(fileNames(dir_), std::vector<std::string>{"QuorvaneService.xml"});
}

// A file name so long that no longer name fits beside it: the temporary file cannot be created,
// whoever runs the test.
TEST_F(ServerSettingsTest, WriteThatCannotCreateItsTemporaryFileLeavesTheOldFile) {
  const std::string name = std::string(250, 's') + ".xml";
  path_ = dir_ / name;
  const std::string content = "<quorvane version='1.1'><hosting><hostport>900</hostport>"
                              "</hosting></quorvane>";
  ASSERT_TRUE(load(content));
  EXPECT_EQ(settings_.hostPort(), 900);
  EXPECT_EQ(readFile(path_), content);
  EXPECT_EQ(fileNames(dir_), std::vector<std::string>{name});
}

// The settings file as a chain of links: the write-back replaces the file at the end, in its own
// directory, and the links stay as they were.
TEST_F(ServerSettingsTest, TheWriteBackGoesThroughLinksToTheFile) {
  fs::create_directory(dir_ / "real");
  const fs::path target = dir_ / "real" / "settings.xml";
  writeFile(target, "<quorvane version='1.1'><hosting><server-name>Linked</server-name>"
                          "</hosting></quorvane>");
  fs::create_symlink("real/settings.xml", dir_ / "middle.xml");
  fs::create_symlink(dir_ / "middle.xml", path_);
  ASSERT_TRUE(settings_.loadFile(path_.string()));
  EXPECT_EQ(settings_.serverName(), "Linked");
  EXPECT_EQ(readFile(target), "<quorvane version=\"1.1\"><hosting><server-name>Linked"
                              "</server-name></hosting></quorvane>\n");
  EXPECT_EQ(fs::read_symlink(path_), dir_ / "middle.xml");
  EXPECT_EQ(fs::read_symlink(dir_ / "middle.xml"), "real/settings.xml");
  EXPECT_EQ(fileNames(dir_ / "real"), std::vector<std::string>{"settings.xml"});
}

// A link that another account owns is not followed: it fails like an unreadable file, and
// nothing is written anywhere.
TEST_F(ServerSettingsTest, ALinkOwnedByAnotherAccountIsNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a link to another account";
  const fs::path target = dir_ / "target.xml";
  const std::string content = "<quorvane version='1.1'><hosting><hostport>900</hostport>"
                              "</hosting></quorvane>";
  writeFile(target, content);
  fs::create_symlink(target, path_);
  ASSERT_EQ(lchown(path_.c_str(), 65534, 65534), 0);
  EXPECT_FALSE(settings_.loadFile(path_.string()));
  EXPECT_NE(settings_.errorDescription().find("not followed"), std::string::npos);
  EXPECT_EQ(settings_.hostPort(), -1);
  EXPECT_FALSE(settings_.createDefaultFile(path_.string()));
  EXPECT_EQ(readFile(target), content);
  EXPECT_EQ(fs::read_symlink(path_), target);
}

// Nothing is created through a link to a missing file, nor through a loop of links.
TEST_F(ServerSettingsTest, ADanglingLinkCreatesNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"missing.xml", "It is a link to a file that does not exist."},
      {"QuorvaneService.xml", "It leads through too many links."}};
  for (const auto& [target, problem] : cases) {
    SCOPED_TRACE("link to " + target);
    fs::remove(path_);
    fs::create_symlink(target, path_);
    EXPECT_FALSE(settings_.loadFile(path_.string()));
    EXPECT_EQ(settings_.errorDescription(), problem);
    EXPECT_EQ(settings_.hostPort(), -1);
    EXPECT_FALSE(settings_.createDefaultFile(path_.string()));
    EXPECT_EQ(fs::read_symlink(path_), target);
    EXPECT_EQ(fileNames(dir_), std::vector<std::string>{"QuorvaneService.xml"});
  }
}
#endif

}  // namespace
}  // namespace quorvane
