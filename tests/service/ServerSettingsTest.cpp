// The settings file and its write-back. Guards against values misread, and a write-back that
// changes the layout, writes a file that failed to parse, writes through a link or into a
// protected file, or loses the file, its permissions or a value.
#include "service/ServerSettings.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <climits>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
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
  std::sort(names.begin(), names.end());
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
    writeFile(path_, content);
    return settings_.loadFile(path_.string());
  }

  fs::path dir_;
  fs::path path_;
  ServerSettings settings_;
};

// The write-back gives a file its printed form: the layout, the blanks, a byte order mark and what
// the server does not know are kept, a missing hosting element is added; a file in printed form
// prints to the same bytes at the next start, and is then not written.
TEST_F(ServerSettingsTest, TheWriteBackKeepsTheLayoutAndPrintsTheSameAgain) {
  const std::string empty = "<quorvane version=\"1.1\"><hosting></hosting></quorvane>\n";
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"", empty, "0 -1 -1 00 [|||] 111"},
      {"<quorvane version=\"1.1\"/>", empty, "0 -1 -1 00 [|||] 111"},
      {"\xEF\xBB\xBF<?xml version='1.0'?>\n<!-- top -->\n<settings>\n  <!--mine-->\n  <hosting>\n"
       "    <server-name>Hall</server-name>\r\n    <server-password> </server-password>\n"
       "  </hosting>\n\t<extra a='1'/>\n</settings>",
       "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- top -->\n<settings>\n  <!--mine-->\n  <hosting>\n"
       "    <server-name>Hall</server-name>\r\n    <server-password> </server-password>\n"
       "  </hosting>\n\t<extra a=\"1\"></extra>\n</settings>\n",
       "0 -1 -1 00 [||Hall| ] 111"}};
  for (const auto& [content, printed, keys] : cases) {
    SCOPED_TRACE(content);
    load(content);
    EXPECT_FALSE(settings_.hasError());
    EXPECT_EQ(everyKey(settings_), keys);
    EXPECT_EQ(readFile(path_), printed);
    EXPECT_EQ(fileNames(dir_), std::vector<std::string>{"QuorvaneService.xml"});
    const auto inode = inodeOf(path_);
    ServerSettings again;
    ASSERT_TRUE(again.loadFile(path_.string()));
    EXPECT_EQ(everyKey(again), keys);
    EXPECT_EQ(readFile(path_), printed);
    EXPECT_EQ(inodeOf(path_), inode) << "a file already in printed form was replaced";
  }
}

// Strings are the first child when it is text, unchanged; booleans are "true"/"false" in any case,
// other text false; ports are read like strtol; a missing element gives its default.
TEST_F(ServerSettingsTest, ValuesAreReadAsWritten) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {"<server-name><!--c-->Hall</server-name><server-password> two words </server-password>"
       "<admin-username>\t</admin-username><admin-password><b/>x</admin-password>"
       "<allow-operators>TRUE</allow-operators><allow-forwarding>yes</allow-forwarding>"
       "<server-logging>tRuE</server-logging>",
       "1 -1 -1 00 [\t||| two words ] 101"},
      {"<allow-channel-creation>False</allow-channel-creation><allow-operators></allow-operators>",
       "0 -1 -1 00 [|||] 010"}};
  for (const auto& [text, port] : std::vector<std::pair<std::string, std::string>>{
           {" 900", "900"}, {"900abc", "900"}, {"-1", "-1"}, {"", "0"}, {"+42", "42"}, {"abc", "0"},
           {"99999999999", std::to_string(INT_MAX)}, {"-99999999999", std::to_string(INT_MIN)}}) {
    cases.push_back({"<hostport>" + text + "</hostport><soundport>" + text + "</soundport>",
                     "0 " + port + " " + port + " 00 [|||] 111"});
  }
  for (const auto& [elements, keys] : cases) {
    ASSERT_TRUE(load(hosting(elements)));
    EXPECT_EQ(everyKey(settings_), keys) << elements;
  }
  ASSERT_TRUE(load(hosting(cases[0].first)));
  EXPECT_EQ(settings_.keyText("admin-username"), std::optional<std::string>("\t"));
  EXPECT_EQ(settings_.keyText("admin-password"), std::optional<std::string>(""));
  EXPECT_EQ(settings_.keyText("missing"), std::nullopt);
  // The sound port is looked up without adding or writing anything.
  ASSERT_TRUE(load("<quorvane/>"));
  EXPECT_EQ(settings_.soundPort(), -1);
  EXPECT_EQ(readFile(path_), "<quorvane/>");
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
}

// Channels nest as their elements do, in document order; one without a name, or with a name that
// would break a client's line, goes with everything inside it.
TEST_F(ServerSettingsTest, StaticChannelsFollowTheNestingInDocumentOrder) {
  ASSERT_TRUE(load(hosting(
      "<static-channels>"
      "<channel><name>lobby</name><password>pw</password><topic>two\nlines</topic></channel>"
      "<group><name>not a channel</name></group>"
      "<channel><password>x</password><channel><name>hidden</name></channel></channel>"
      "<channel><name>a\rb</name><channel><name>inner</name></channel></channel>"
      "<channel><name>games</name><topic>Play</topic>"
      "<channel><name>quiet</name><password>hush</password></channel>"
      "<channel><name>end\\</name></channel><channel><name>loud</name></channel></channel>"
      "<channel><name>after</name></channel>"
      "</static-channels>")));
  EXPECT_FALSE(settings_.readStaticChannels(nullptr));
  Channel root("");
  ASSERT_TRUE(settings_.readStaticChannels(&root));
  EXPECT_EQ(describeTree(root),
            "/lobby/ pw/\n/games/ /Play\n/games/quiet/ hush/\n/games/loud/ /\n/after/ /\n");
  EXPECT_EQ(settings_.ignoredValues(),
            (std::vector<std::string>{"the topic of static channel /lobby/",
                                      "static channel /a\\rb/ and its sub-channels",
                                      "static channel /games/end\\/ and its sub-channels"}));
}

// What parsed before the error is read, the rest takes its default, and the file stays as it is,
// start after start; a directory in its place is neither read nor replaced.
TEST_F(ServerSettingsTest, FileThatFailsToParseOrToBeReadIsNeverWritten) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<quorvane>\n<hosting><server-name>Mine</server-name><hostport>9</hostport>"
       "<static-channels><channel><name>lobby</name></channel></static-channels>"
       "</hosting><oops></quorvane>",
       "0 9 -1 11 [||Mine|] 111"},
      // Nor when the hosting element, missing, had to be added.
      {"<quorvane version=\"1.1\"><oops></quorvane>", "0 -1 -1 00 [|||] 111"},
      // Found by the settings fuzz target.
      {"<quorvane version=\"1.1\"><hosting><server-name>Mine</server-name><static-channels>"
       "<channel><name>a</name></channel></static-channels></hosting></quorvane>tail</quorvane>",
       "0 -1 -1 11 [||Mine|] 111"},
  };
  for (const auto& [content, keys] : cases) {
    writeFile(path_, content);
    for (int start = 0; start < 2; ++start) {
      SCOPED_TRACE(content + " start " + std::to_string(start));
      ServerSettings settings;
      EXPECT_FALSE(settings.loadFile(path_.string()));
      EXPECT_EQ(everyKey(settings), keys);
      EXPECT_EQ(readFile(path_), content);
    }
  }
  EXPECT_FALSE(load(cases[0].first));
  EXPECT_EQ(settings_.errorDescription(), "Start-end tags mismatch at line 2, column 153.");

  fs::remove(path_);
  fs::create_directory(path_);
  EXPECT_FALSE(settings_.loadFile(path_.string()));
  EXPECT_TRUE(settings_.hasError());
  everyKey(settings_);
  EXPECT_FALSE(settings_.createDefaultFile(path_.string()));
  EXPECT_TRUE(fs::is_directory(path_) && fs::is_empty(path_));
  EXPECT_EQ(fileNames(dir_), std::vector<std::string>{"QuorvaneService.xml"});
}

// A file without write permission bits, in a read-only directory, or whose temporary file cannot
// be created (its name so long that no longer one fits beside it) gives its values and stays as
// it is, also when root runs the server. The content would change if it were written.
TEST_F(ServerSettingsTest, AFileThatMayNotOrCannotBeWrittenGivesItsValuesAndStaysAsItIs) {
  const std::string content = hosting("<server-name>Mine</server-name><hostport>900</hostport>"
                                      "<allow-forwarding>false</allow-forwarding>");
  std::vector<std::string> kinds = {"read-only file", "read-only directory"};
#ifndef _WIN32
  kinds.push_back("long name");
#endif
  for (const std::string& kind : kinds) {
    SCOPED_TRACE(kind);
    makeWritable();
    fs::remove(path_);
    path_ = dir_ / (kind == "long name" ? std::string(250, 's') + ".xml" : "QuorvaneService.xml");
    writeFile(path_, content);
    const auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if (kind != "long name") fs::permissions(path_, write, fs::perm_options::remove);
    if (kind == "read-only directory") fs::permissions(dir_, write, fs::perm_options::remove);
    const auto inode = inodeOf(path_);
    ServerSettings settings;
    ASSERT_TRUE(settings.loadFile(path_.string()));
    EXPECT_EQ(everyKey(settings), "0 900 -1 00 [||Mine|] 101");
    EXPECT_EQ(readFile(path_), content);
    EXPECT_EQ(fileNames(dir_), std::vector<std::string>{path_.filename().string()});
    EXPECT_EQ(inodeOf(path_), inode);
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
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

// Nothing is read, created or written through a link to a missing file, a loop of links, or (when
// root runs the server) a link that another account owns; the links stay as they were.
TEST_F(ServerSettingsTest, ALinkThatMayNotBeFollowedFailsAndCreatesNothing) {
  const fs::path target = dir_ / "target.xml";
  const std::string content = hosting("<hostport>900</hostport>");
  writeFile(target, content);
  const std::vector<std::tuple<fs::path, bool, std::string>> cases = {
      {"missing.xml", false, "It is a link to a file that does not exist."},
      {"QuorvaneService.xml", false, "It leads through too many links."},
      {target, true, "It is a link owned by an account other than root and the program's own; "
                     "such a link is not followed."}};
  for (const auto& [to, foreign, problem] : cases) {
    SCOPED_TRACE("link to " + to.string());
    if (foreign && geteuid() != 0) GTEST_SKIP() << "only root can give a link to another account";
    fs::remove(path_);
    fs::create_symlink(to, path_);
    ASSERT_TRUE(!foreign || lchown(path_.c_str(), 65534, 65534) == 0);
    EXPECT_FALSE(settings_.loadFile(path_.string()));
    EXPECT_EQ(settings_.errorDescription(), problem);
    EXPECT_EQ(settings_.hostPort(), -1);
    EXPECT_FALSE(settings_.createDefaultFile(path_.string()));
    EXPECT_EQ(fs::read_symlink(path_), to);
    EXPECT_EQ(readFile(target), content);
    EXPECT_EQ(fileNames(dir_), (std::vector<std::string>{"QuorvaneService.xml", "target.xml"}));
  }
}
#endif

}  // namespace
}  // namespace quorvane
