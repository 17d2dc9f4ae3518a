// Settings files that the fuzz target SettingsFuzz found mishandled, kept as regression tests.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "server/Channel.h"
#include "service/ServerSettings.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;

class SettingsFuzzRegressionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quorvane-settings-regression-" + std::to_string(std::random_device()()) + "-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir_);
    path_ = (dir_ / "QuorvaneService.xml").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
  std::string read() {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path dir_;
  std::string path_;
};

// Text and a stray end tag after the root element: an error, after which what parsed is read
// and the file stays byte for byte, start after start.
TEST_F(SettingsFuzzRegressionTest, TextAndAnEndTagAfterTheRootAreReadUpToTheErrorAndKept) {
  const std::string content =
      "<quorvane version=\"1.1\"><hosting>"
      "<server-name>Mine</server-name><static-channels><channel><name>a</name></channel>"
      "</static-channels></hosting></quorvane>tail</quorvane>";
  write(content);

  for (int start = 0; start < 2; ++start) {
    ServerSettings settings;
    EXPECT_FALSE(settings.loadFile(path_)) << "start " << start;
    EXPECT_TRUE(settings.hasError());
    EXPECT_EQ(settings.serverLogging(), false);
    EXPECT_EQ(settings.hostPort(), -1);
    Channel root{std::string()};
    EXPECT_TRUE(settings.readStaticChannels(&root));
    EXPECT_EQ(root.childCount(), 1u);
    EXPECT_EQ(settings.serverName(), "Mine");
    EXPECT_EQ(read(), content);
  }
}

}  // namespace
}  // namespace quorvane
