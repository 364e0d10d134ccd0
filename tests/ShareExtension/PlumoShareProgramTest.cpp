#include <chrono>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <random>
#include <thread>
#include <unistd.h>

#include "Files.h"
#include "RunningProgram.h"
#include "ShareImportRules.h"
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
  fs::path temporaryFiles = home / "tmp";

  void SetUp() override { fs::create_directories(temporaryFiles); }

  std::map<std::string, std::string> environment() const {
    return {{"XDG_DATA_HOME", dataHome.string()}, {"XDG_CONFIG_HOME", configHome.string()},
            {"XDG_DATA_DIRS", "/usr/share"},      {"LANGUAGE", "en"},
            {"LANG", "C.UTF-8"},                  {"G_MESSAGES_DEBUG", ""},
            {"TMPDIR", temporaryFiles.string()}};
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

  // The program run with its standard input read from `pipe`, a FIFO.
  std::unique_ptr<testing::RunningProgram> shareFromPipe(const fs::path& pipe, const std::vector<std::string>& arguments) {
    std::vector<std::string> shell = {"/bin/sh", "-c", "exec \"$0\" --no-ui \"$@\" < \"$FIFO\"", PLUMO_SHARE_PROGRAM};
    shell.insert(shell.end(), arguments.begin(), arguments.end());
    auto environment = this->environment();
    environment["FIFO"] = pipe.string();
    return std::make_unique<testing::RunningProgram>(shell, environment);
  }

  // Waits until the share has made its staging folder: its dismiss handling is in place then.
  bool waitForStaging() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      std::error_code ignored;
      if (fs::exists(root / "staging") && !fs::is_empty(root / "staging", ignored)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
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
  EXPECT_THAT(result.standardError, HasSubstr("Saved. Open Plumo to finish sharing."));
}

TEST_F(PlumoShareProgramTest, AFailedImportShowsItsTextAndEndsWithStatusOne) {
  const auto result = share({});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_THAT(result.standardError, HasSubstr("import failed stage=provider category=empty"));
  EXPECT_THAT(result.standardError, HasSubstr("There is nothing to share."));
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
  EXPECT_TRUE(fs::is_empty(temporaryFiles));
}

// Standard input longer than a file may be goes through a temporary file that
// is refused while the process ends: the file must be gone first.
TEST_F(PlumoShareProgramTest, AnOversizedBinaryStandardInputLeavesNoTemporaryFile) {
  const std::string oversized(static_cast<std::size_t>(ShareImportRules::fileLimit) + 4096, 'x');
  for (int run = 0; run < 5; ++run) {
    const auto result = share({"--type", "application/octet-stream", "-"}, oversized);
    EXPECT_EQ(result.exitStatus, 1) << result.standardError;
    EXPECT_THAT(result.standardError, HasSubstr("category=tooLarge"));
    EXPECT_TRUE(fs::is_empty(temporaryFiles)) << "run " << run << ": " << fs::directory_iterator(temporaryFiles)->path();
  }
}

// JSON carries Unicode text only; such a share fails at once, never after staging everything.
TEST_F(PlumoShareProgramTest, TextOrFolderPathsThatAreNotUtf8AreRefusedAsUnsupported) {
  writeFile(home / "report.pdf", "%PDF-1.7 report");
  fs::create_directories(home / "Caf\xe9");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--text", "Caf\xe9", (home / "report.pdf").string()}, {(home / "Caf\xe9").string()}}) {
    const auto result = share(arguments);
    EXPECT_EQ(result.exitStatus, 1) << arguments.front();
    EXPECT_THAT(result.standardError, HasSubstr("import failed stage=provider category=unsupported"));
    EXPECT_TRUE(fs::is_empty(root / "staging"));
  }
  EXPECT_TRUE(inboxShares().empty());
}

TEST_F(PlumoShareProgramTest, AnInfoPlistThatCannotBeReadIsABundleWithoutKeys) {
  const fs::path bundle = home / "bundle";
  const auto expectNoKeys = [&](const char* what) {
    const auto result = share({"--bundle", bundle.string(), "--text", "hello"});
    EXPECT_EQ(result.exitStatus, 1) << what << ": " << result.standardError;
    EXPECT_THAT(result.standardError, HasSubstr("import failed stage=container category=unavailable")) << what;
  };
  fs::create_directories(bundle / "Info.plist");
  expectNoKeys("a folder");

  fs::remove(bundle / "Info.plist");
  std::string nested = "<plist version=\"1.0\">";
  for (int level = 0; level < 1'000'000; ++level) nested += "<array>";
  writeFile(bundle / "Info.plist", nested);
  expectNoKeys("a million nested arrays");
}

// An I/O error while the type of a named file is looked up (strace makes its stat fail).
TEST_F(PlumoShareProgramTest, AFileThatCannotBeExaminedFailsTheShare) {
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const fs::path file = home / "report.pdf";
  writeFile(file, "%PDF-1.7 report");
  const auto result =
      runProgram({"/usr/bin/strace", "-f", "-o", "/dev/null", "-P", file.string(), "-e", "trace=newfstatat", "-e",
                  "inject=newfstatat:error=EIO:when=1", PLUMO_SHARE_PROGRAM, "--no-ui", file.string()},
                 environment());
  EXPECT_EQ(result.exitStatus, 1) << result.standardError;
  EXPECT_THAT(result.standardError, HasSubstr("import failed stage=provider category=readFailed"));
  EXPECT_TRUE(fs::is_empty(root / "staging"));
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

// SIGTERM at random moments of a collection that copies files while standard
// input trickles in: the share is dismissed or published, and never leaves a
// staging folder or a temporary file behind.
TEST_F(PlumoShareProgramTest, ADismissAtAnyMomentOfACollectionLeavesNothingBehind) {
  // Many small files: a new file is created in the staging folder every few milliseconds.
  std::vector<std::string> arguments = {"--type", "application/octet-stream"};
  for (int index = 0; index < ShareImportRules::directoryLimit - 1; ++index) {
    const fs::path file = home / ("file-" + std::to_string(index));
    writeFile(file, std::string(64 << 10, 'f'));
    arguments.push_back(file.string());
  }
  arguments.push_back("-");
  const fs::path pipe = home / "stdin";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  std::mt19937 random(20261208);
  const std::string chunk(64 << 10, 's');

  int dismissed = 0;
  std::size_t published = 0;
  for (int run = 0; run < 12; ++run) {
    // Held open for reading and writing: opening never blocks, and writing never raises SIGPIPE.
    const int writer = ::open(pipe.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const auto program = shareFromPipe(pipe, arguments);
    ASSERT_TRUE(waitForStaging()) << program->standardErrorSoFar();
    for (unsigned written = 0; written < random() % 4; ++written) {
      if (::write(writer, chunk.data(), chunk.size()) < 0) break;  // full: the program reads later
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 3));
    }
    if (run % 2 == 1) ::close(writer);  // standard input ends: its temporary file is made and copied
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 30'000));
    program->signal(SIGTERM);
    const auto result = program->wait();
    if (run % 2 == 0) ::close(writer);

    if (result.exitStatus == 130) {
      ++dismissed;
    } else {
      EXPECT_EQ(result.exitStatus, 3) << "run " << run << ": " << result.standardError;
      ++published;
    }
    EXPECT_EQ(inboxShares().size(), published) << "run " << run;
    EXPECT_TRUE(fs::is_empty(root / "staging")) << "run " << run;
    EXPECT_TRUE(fs::is_empty(temporaryFiles)) << "run " << run;
  }
  EXPECT_GT(dismissed, 0);
}

}  // namespace
}  // namespace plumo
