#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>

#include "Files.h"
#include "RunningProgram.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace plumo {
namespace {

using testing::readFile;
using testing::runProgram;
using testing::writeFile;

const std::string launchFailedLine = "import failed stage=wake category=launchFailed";

// The real program, in a home of its own: fresh data and configuration folders.
class PlumoShareProgramTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory home;
  fs::path dataHome = home / "data";
  fs::path configHome = home / "config";
  fs::path received = home / "received-url";
  fs::path root = dataHome / "group-containers" / PLUMO_APP_GROUP / "PlumoShare";

  std::map<std::string, std::string> environment() const {
    return {{"XDG_DATA_HOME", dataHome.string()}, {"XDG_CONFIG_HOME", configHome.string()},
            {"XDG_DATA_DIRS", "/usr/share"},      {"LANGUAGE", "en"},
            {"LANG", "C.UTF-8"},                  {"G_MESSAGES_DEBUG", ""}};
  }

  std::vector<std::string> command(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {PLUMO_SHARE_PROGRAM, "--no-ui"});
    return arguments;
  }

  testing::ProgramResult share(std::vector<std::string> arguments, const std::string& standardInput = "") {
    return runProgram(command(std::move(arguments)), environment(), standardInput);
  }

  // A throw-away host application: the default handler of the scheme, which writes down the URL it gets.
  void installHost() {
    const fs::path handler = home / "host.sh";
    writeFile(handler, "#!/bin/sh\nprintf '%s' \"$1\" > '" + received.string() + ".part' && mv '" +
                           received.string() + ".part' '" + received.string() + "'\n");
    fs::permissions(handler, fs::perms::owner_all);
    fs::create_directories(dataHome / "applications");
    writeFile(dataHome / "applications" / "plumo-test-host.desktop",
              "[Desktop Entry]\nType=Application\nName=Plumo test host\nExec=" + handler.string() +
                  " %u\nMimeType=x-scheme-handler/" PLUMO_SCHEME ";\nNoDisplay=true\n");
    fs::create_directories(configHome);
    writeFile(configHome / "mimeapps.list",
              "[Default Applications]\nx-scheme-handler/" PLUMO_SCHEME "=plumo-test-host.desktop\n");
  }

  std::string receivedUrl() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(received) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return readFile(received);
  }

  std::vector<fs::path> inboxShares() const {
    std::vector<fs::path> shares;
    if (!fs::exists(root / "inbox")) return shares;
    for (const auto& entry : fs::directory_iterator(root / "inbox")) {
      if (entry.is_directory()) shares.push_back(entry.path());
    }
    return shares;
  }
};

TEST_F(PlumoShareProgramTest, AShareReachesTheInboxAndWakesTheHost) {
  installHost();
  writeFile(home / "report.pdf", "%PDF-1.7 report");
  fs::create_directories(home / "photos");

  const auto result = share({(home / "report.pdf").string(), (home / "photos").string(), "--text", "for Monday",
                             "https://example.com/a?b=c"});

  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  const auto shares = inboxShares();
  ASSERT_EQ(shares.size(), 1u);
  const std::string id = shares[0].filename();
  EXPECT_EQ(result.standardOutput, shares[0].string() + "\n");
  EXPECT_EQ(receivedUrl(), PLUMO_SCHEME "://bot-share?id=" + id);

  const auto manifest = nlohmann::json::parse(readFile(shares[0] / "payload.json"));
  EXPECT_EQ(manifest["id"], id);
  EXPECT_EQ(manifest["message"], "for Monday\n\nhttps://example.com/a?b=c");
  EXPECT_EQ(manifest["files"], nlohmann::json({"1-report.pdf"}));
  EXPECT_EQ(manifest["directories"], nlohmann::json({(home / "photos").string()}));
  EXPECT_EQ(readFile(shares[0] / "1-report.pdf"), "%PDF-1.7 report");
  EXPECT_TRUE(fs::is_empty(root / "staging"));
}

TEST_F(PlumoShareProgramTest, WithoutAHostTheShareStaysInTheInbox) {
  const auto result = share({"-"}, "a text from standard input");

  EXPECT_EQ(result.exitStatus, 3);
  const auto shares = inboxShares();
  ASSERT_EQ(shares.size(), 1u);
  EXPECT_EQ(result.standardOutput, shares[0].string() + "\n");
  EXPECT_EQ(nlohmann::json::parse(readFile(shares[0] / "payload.json"))["message"], "a text from standard input");
  std::size_t launchFailed = 0;
  for (std::size_t at = 0; (at = result.standardError.find(launchFailedLine, at)) != std::string::npos; ++at) {
    ++launchFailed;
  }
  EXPECT_EQ(launchFailed, 1u);
  EXPECT_THAT(result.standardError, HasSubstr("Open Plumo to finish sharing."));
}

TEST_F(PlumoShareProgramTest, AFailedImportShowsItsTextAndEndsWithStatusOne) {
  const auto result = share({});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_THAT(result.standardError, HasSubstr("import failed stage=provider category=empty"));
  EXPECT_THAT(result.standardError, HasSubstr("Choose something to share."));
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_TRUE(fs::is_empty(root / "staging"));
}

TEST_F(PlumoShareProgramTest, UsageErrorsStageNothing) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{(home / "missing.txt").string()}, {"https://exa mple.com"}, {"ftp://example.com/x"},
        {"--unknown"}, {"-", "-"}, {"--type", "no/such-type-at-all", "-"}, {"--text"}}) {
    const auto result = share(arguments);
    EXPECT_EQ(result.exitStatus, 2) << arguments.front();
    EXPECT_THAT(result.standardError, HasSubstr("usage: plumo-share"));
    EXPECT_EQ(result.standardOutput, "");
  }
  EXPECT_FALSE(fs::exists(dataHome / "group-containers"));
}

TEST_F(PlumoShareProgramTest, StandardInputIsStagedAsDataOfItsType) {
  const auto result = share({"--type", "image/png", "-"}, "\x89PNG\r\n");
  EXPECT_EQ(result.exitStatus, 3) << result.standardError;
  const auto shares = inboxShares();
  ASSERT_EQ(shares.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(readFile(shares[0] / "payload.json"))["files"], nlohmann::json({"1-stdin.png"}));
  EXPECT_EQ(readFile(shares[0] / "1-stdin.png"), "\x89PNG\r\n");
}

TEST_F(PlumoShareProgramTest, TerminationDuringACollectionDismissesTheShare) {
  const fs::path pipe = home / "stdin";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const int writer = ::open(pipe.c_str(), O_RDWR);  // held open, never written: the collection waits
  auto environment = this->environment();
  testing::RunningProgram program(
      {"/bin/sh", "-c", "exec \"$0\" --no-ui - < \"$1\"", PLUMO_SHARE_PROGRAM, pipe.string()}, environment);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(fs::exists(root / "staging") && !fs::is_empty(root / "staging")) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_FALSE(fs::is_empty(root / "staging"));

  program.signal(SIGTERM);
  const auto result = program.wait();
  ::close(writer);

  EXPECT_EQ(result.exitStatus, 130);
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_THAT(result.standardError, ::testing::Not(HasSubstr("import failed")));
  EXPECT_TRUE(fs::is_empty(root / "staging"));
  EXPECT_FALSE(fs::exists(root / "inbox"));
}

}  // namespace
}  // namespace plumo
