#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <csignal>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <random>
#include <thread>
#include <utility>
#include <unistd.h>

#include "BuildIdentity.h"
#include "Eventually.h"
#include "FakeOpenUriPortal.h"
#include "LockHolder.h"
#include "Files.h"
#include "Pipe.h"
#include "RunningProgram.h"
#include "ShareImportRules.h"
#include "TemporaryDirectory.h"
#include "Traced.h"

namespace fs = std::filesystem;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace plumo {
namespace {

using testing::readFile;
using testing::runProgram;
using testing::writeFile;

const std::string launchFailedLine = "import failed stage=wake category=launchFailed";

// One traced call of a share: a sync of the file a descriptor names, or a rename.
struct TracedCall {
  enum class Kind { sync, rename } kind;
  std::string line;
  std::string syncedPath;  // for a sync: the path strace -y shows for the descriptor
};

// The syncs and renames of an `strace -f -y` trace, in the order they started.
std::vector<TracedCall> syncsAndRenames(const std::string& trace) {
  static const std::regex sync(R"(^\S+ +f(?:data)?sync\(\d+<([^>]*)>)");
  static const std::regex rename(R"(^\S+ +rename(?:at2?)?\()");
  std::vector<TracedCall> calls;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_search(line, match, sync)) {
      calls.push_back({TracedCall::Kind::sync, line, match[1]});
    } else if (std::regex_search(line, rename)) {
      calls.push_back({TracedCall::Kind::rename, line, {}});
    }
  }
  return calls;
}

// The real program, in a home of its own: fresh data and configuration folders.
class PlumoShareProgramTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory home;
  fs::path dataHome = home / "data";
  fs::path configHome = home / "config";
  fs::path received = home / "received-url";
  fs::path root = dataHome / "group-containers" / PLUMO_APP_GROUP / "PlumoShare";
  fs::path temporaryFiles = home / "tmp";
  std::string language = "en";

  void SetUp() override { fs::create_directories(temporaryFiles); }

  std::map<std::string, std::string> environment() const {
    return {{"XDG_DATA_HOME", dataHome.string()}, {"XDG_CONFIG_HOME", configHome.string()},
            {"XDG_DATA_DIRS", "/usr/share"},      {"LANGUAGE", language},
            {"LANG", "C.UTF-8"},                  {"G_MESSAGES_DEBUG", ""},
            {"TMPDIR", temporaryFiles.string()},  {"DISPLAY", ""},
            {"WAYLAND_DISPLAY", ""}};
  }

  std::vector<std::string> command(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {PLUMO_SHARE_PROGRAM, "--no-ui"});
    return arguments;
  }

  testing::ProgramResult share(std::vector<std::string> arguments, const std::string& standardInput = "",
                               const std::function<void()>& beforeExec = {}) {
    return runProgram(command(std::move(arguments)), environment(), standardInput, beforeExec);
  }

  // The program under strace, which injects a fault; `injection` is strace's -e inject=... value.
  testing::ProgramResult traced(const std::string& injection, std::vector<std::string> arguments,
                                const std::string& standardInput = "") const {
    const std::string syscall = injection.substr(0, injection.find(':'));
    arguments = command(std::move(arguments));
    arguments.insert(arguments.begin(), {testing::strace, "-f", "-o", "/dev/null", "-e", "trace=" + syscall, "-e",
                                         "inject=" + injection});
    return runProgram(arguments, testing::traceable(environment()), standardInput);
  }

  // A throw-away host application: the default handler of the scheme, which writes down the URL it gets,
  // then runs `afterwards` (shell commands).
  void installHost(const std::string& afterwards = "") {
    const fs::path handler = home / "host.sh";
    writeFile(handler, "#!/bin/sh\nprintf '%s' \"$1\" > '" + received.string() + ".part' && mv '" +
                           received.string() + ".part' '" + received.string() + "'\n" + afterwards);
    fs::permissions(handler, fs::perms::owner_all);
    fs::create_directories(dataHome / "applications");
    writeFile(dataHome / "applications" / "plumo-test-host.desktop",
              "[Desktop Entry]\nType=Application\nName=Plumo test host\nExec=" + handler.string() +
                  " %u\nMimeType=x-scheme-handler/" PLUMO_SCHEME ";\nNoDisplay=true\n");
    fs::create_directories(configHome);
    writeFile(configHome / "mimeapps.list",
              "[Default Applications]\nx-scheme-handler/" PLUMO_SCHEME "=plumo-test-host.desktop\n");
  }

  std::string receivedUrl() const { return readFile(awaited(received)); }

  // `file` once it exists; a test that waits longer than 10 s fails on what it then finds.
  static const fs::path& awaited(const fs::path& file) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(file) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return file;
  }

  std::string onlyShare() const {
    const auto shares = inboxShares();
    return shares.size() == 1 ? shares[0].string() : "";
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
  // As long as a loaded machine takes to start a share: only a hang should fail the wait.
  bool waitForStaging() const {
    return testing::eventually(
        [&] {
          std::error_code ignored;
          return fs::exists(root / "staging") && !fs::is_empty(root / "staging", ignored);
        },
        std::chrono::seconds(60));
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
  EXPECT_THAT(result.standardError, HasSubstr("plumo-share: Saved. Open Plumo to finish.\n"));
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
  const std::string present = (home / "present.txt").string();
  writeFile(present, "present");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{(home / "missing.txt").string()}, {"https://exa mple.com"}, {"ftp://example.com/x"},
        {"httpx://example.com"}, {"file://otherhost/etc/passwd"}, {"--unknown"}, {"-", "-"}, {"-", present, "-"},
        {"--type", "no/such-type-at-all", "-"}, {"--text"}, {"--unknown\nsecond line"},
        {(home / "missing\n\x1b[2J").string()}, {"--clipboard"}}) {
    const auto result = share(arguments);
    EXPECT_EQ(result.exitStatus, 2) << arguments.front();
    // One line, which points to the help, and shows what the argument holds escaped.
    EXPECT_THAT(result.standardError, ::testing::MatchesRegex("plumo-share: [^\n]*--help[^\n]*\n"));
    EXPECT_THAT(result.standardError, ::testing::Not(HasSubstr("\x1b")));
    EXPECT_EQ(result.standardOutput, "");
  }
  EXPECT_FALSE(fs::exists(dataHome / "group-containers"));
}

// Links as people paste them reach the host in the ASCII form any client opens; a refused one says why.
TEST_F(PlumoShareProgramTest, PastedLinksAreSharedInTheirAsciiForm) {
  const auto result = share({"https://b\u00fccher.de/x", "https://example.com/a b", "https://example.com/?q=a|b",
                             "https://example.com/\u00e4?x=\u00fc#frag", "https://example.com/%zz"});

  EXPECT_EQ(result.exitStatus, 3) << result.standardError;
  const auto shares = inboxShares();
  ASSERT_EQ(shares.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(readFile(shares[0] / "payload.json"))["message"],
            "https://xn--bcher-kva.de/x\n\nhttps://example.com/a%20b\n\nhttps://example.com/?q=a%7Cb\n\n"
            "https://example.com/%C3%A4?x=%C3%BC#frag\n\nhttps://example.com/%25zz");

  const auto refused = share({"https://example.com:99999/"});
  EXPECT_EQ(refused.exitStatus, 2);
  EXPECT_EQ(refused.standardError, "plumo-share: 'https://example.com:99999/': its port is not a number from 0 to "
                                   "65535 (see plumo-share --help)\n");
}

// "file:/path" as people type it; a "+" in a file URL is a plus, not a space.
TEST_F(PlumoShareProgramTest, FileUrlsAreTakenAsPeopleWriteThem) {
  writeFile(home / "short.txt", "no slashes");
  writeFile(home / "a+b.txt", "plus");
  writeFile(home / "a b.txt", "space");

  const auto result = share({"file:" + (home / "short.txt").string(), "file://" + (home / "a+b.txt").string()});

  EXPECT_EQ(result.exitStatus, 3) << result.standardError;
  const auto shares = inboxShares();
  ASSERT_EQ(shares.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(readFile(shares[0] / "payload.json"))["files"],
            nlohmann::json({"1-short.txt", "2-a+b.txt"}));
  EXPECT_EQ(readFile(shares[0] / "1-short.txt"), "no slashes");
  EXPECT_EQ(readFile(shares[0] / "2-a+b.txt"), "plus");
}

// Open With from the Trash hands over trash:///…: GIO, with the desktop's own
// services on a session bus of the test's own, knows the file behind it.
TEST_F(PlumoShareProgramTest, AGioAddressIsSharedAsTheLocalFileBehindIt) {
  fs::create_directories(dataHome / "Trash" / "files");
  fs::create_directories(dataHome / "Trash" / "info");
  writeFile(dataHome / "Trash" / "files" / "old report.txt", "thrown away");
  writeFile(dataHome / "Trash" / "info" / "old report.txt.trashinfo",
            "[Trash Info]\nPath=/old%20report.txt\nDeletionDate=2026-12-01T10:00:00\n");
  auto environment = this->environment();
  environment["XDG_RUNTIME_DIR"] = home.path().string();

  const auto result = runProgram(
      {DBUS_RUN_SESSION, "--", PLUMO_SHARE_PROGRAM, "--no-ui", "trash:///old%20report.txt"}, environment);

  EXPECT_EQ(result.exitStatus, 3) << result.standardError;
  ASSERT_EQ(inboxShares().size(), 1u);
  EXPECT_EQ(readFile(inboxShares()[0] / "1-old report.txt"), "thrown away");
}

// Everything the share is made of is on the disk before it appears in the
// inbox, and the inbox's new entry after. Matched on the paths strace -y shows,
// so that paths and folder descriptors trace alike.
TEST_F(PlumoShareProgramTest, APublishSyncsTheShareBeforeTheMoveAndTheInboxAfterIt) {
  if (!testing::straceIsInstalled()) GTEST_SKIP() << "strace is not installed (scripts/install-deps installs it)";
  if (runProgram({testing::strace, "-f", "-o", "/dev/null", "/bin/true"}).exitStatus != 0) {
    GTEST_SKIP() << "strace cannot trace here: ptrace is not permitted";
  }
  writeFile(home / "report.pdf", "%PDF-1.7 report");
  const fs::path trace = home / "trace";
  auto arguments =
      command({(home / "report.pdf").string(), "--text", "for Monday", "--type", "application/octet-stream", "-"});
  arguments.insert(arguments.begin(), {testing::strace, "-f", "-y", "-o", trace.string(), "-e",
                                       "trace=fsync,fdatasync,rename,renameat,renameat2,openat"});

  const auto result = runProgram(arguments, testing::traceable(environment()), "bytes from standard input");

  ASSERT_EQ(result.exitStatus, 3) << result.standardError;
  const auto shares = inboxShares();
  ASSERT_EQ(shares.size(), 1u);
  const std::string id = shares[0].filename();
  const std::string staged = (root / "staging" / id).string();
  const std::string inbox = (root / "inbox").string();
  const auto calls = syncsAndRenames(readFile(trace));
  std::string seen;
  for (const auto& call : calls) seen += call.line + "\n";

  const auto move = std::find_if(calls.begin(), calls.end(), [&](const TracedCall& call) {
    return call.kind == TracedCall::Kind::rename && call.line.find(id) != std::string::npos &&
           (call.line.find(inbox + "/" + id) != std::string::npos || call.line.find(inbox + ">") != std::string::npos);
  });
  ASSERT_NE(move, calls.end()) << "no move into the inbox in\n" << seen;
  const auto synced = [&](auto first, auto last, const std::function<bool(const std::string&)>& matches) {
    return std::any_of(first, last, [&](const TracedCall& call) {
      return call.kind == TracedCall::Kind::sync && matches(call.syncedPath);
    });
  };
  // A copy only starts its writeback: each staged file is synced once, by the publish, before the move.
  for (const char* file : {"/1-report.pdf", "/2-stdin.bin"}) {
    const auto syncsOf = [&](auto first, auto last) {
      return std::count_if(first, last, [&](const TracedCall& call) {
        return call.kind == TracedCall::Kind::sync && call.syncedPath == staged + file;
      });
    };
    EXPECT_EQ(syncsOf(calls.begin(), move), 1) << file << ", once before the move, in\n" << seen;
    EXPECT_EQ(syncsOf(calls.begin(), calls.end()), 1) << file << ", once in all, in\n" << seen;
  }
  EXPECT_TRUE(synced(calls.begin(), move, [&](const std::string& path) {
    return path.starts_with(staged + "/") && path.find("payload.json") != std::string::npos;
  })) << "the manifest, before the move, in\n" << seen;
  EXPECT_TRUE(synced(calls.begin(), move, [&](const std::string& path) { return path == staged; }))
      << "the staging folder, before the move, in\n" << seen;
  EXPECT_TRUE(synced(move + 1, calls.end(), [&](const std::string& path) { return path == inbox; }))
      << "the inbox, after the move, in\n" << seen;
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

// An I/O error while the type of a named file is looked up (strace makes its stat fail).
TEST_F(PlumoShareProgramTest, AFileThatCannotBeExaminedFailsTheShare) {
  if (!testing::straceIsInstalled()) GTEST_SKIP() << "strace is not installed";
  const fs::path file = home / "report.pdf";
  writeFile(file, "%PDF-1.7 report");
  const auto result =
      runProgram({testing::strace, "-f", "-o", "/dev/null", "-P", file.string(), "-e", "trace=newfstatat", "-e",
                  "inject=newfstatat:error=EIO:when=1", PLUMO_SHARE_PROGRAM, "--no-ui", file.string()},
                 testing::traceable(environment()));
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

TEST_F(PlumoShareProgramTest, VersionAndHelp) {
  const auto version = share({"--version"});
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_EQ(version.standardOutput, "plumo-share " PLUMO_VERSION "\n");

  const auto help = share({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_THAT(help.standardOutput, HasSubstr("usage: plumo-share"));
  for (const char* status : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  130 "}) {
    EXPECT_THAT(help.standardOutput, HasSubstr(status));
  }
  // Help that cannot be written whole is no success.
  const auto unwritten = share({"--help"}, "", [] { ::dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO); });
  EXPECT_EQ(unwritten.exitStatus, 1);
  EXPECT_FALSE(fs::exists(dataHome / "group-containers"));
}

// With every GLib domain logging, standard output still carries the one path, and
// the library's lines keep their domain on standard error.
TEST_F(PlumoShareProgramTest, StandardOutputIsThePathWhateverGLibLogs) {
  installHost();
  writeFile(home / "notes.txt", "notes");
  auto environment = this->environment();
  environment["G_MESSAGES_DEBUG"] = "all";
  const auto result = runProgram(command({(home / "notes.txt").string()}), environment);

  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, onlyShare() + "\n");
  EXPECT_THAT(result.standardError, HasSubstr("GLib-GIO-DEBUG: "));
  EXPECT_THAT(result.standardError, HasSubstr(PLUMO_HOST_BUNDLE_ID ".share import: publish complete"));
  EXPECT_THAT("\n" + result.standardError, ::testing::Not(HasSubstr("\n : ")));
}

// The host keeps running, yet a caller that reads our output to its end gets it at once: the host holds
// /dev/null, not our pipe. It gets the caller's environment, not what we set for ourselves, and no
// blocked signal.
TEST_F(PlumoShareProgramTest, TheHostRunsOnItsOwnStreamsAndTheCallersEnvironment) {
  const fs::path record = home / "host-record";
  installHost("in=$(readlink /proc/$$/fd/0) out=$(readlink /proc/$$/fd/1) err=$(readlink /proc/$$/fd/2)\n"
              "{ echo \"pid=$$\"; echo \"streams=$in $out $err\"; echo \"LANGUAGE=${LANGUAGE-unset}\";\n"
              "  echo \"GSK_RENDERER=${GSK_RENDERER-unset}\"; echo \"LANG=$LANG\"; echo \"caller=$PLUMO_CALLER\";\n"
              // Builtins only: the shell blocks its signals for a moment around each fork.
              "  while read -r line; do case $line in SigBlk:*) echo \"$line\";; esac; done < /proc/$$/status;\n"
              "} > '" + record.string() + ".part'\n"
              "mv '" + record.string() + ".part' '" + record.string() + "'\nexec sleep 300\n");
  writeFile(home / "notes.txt", "notes");
  auto environment = this->environment();
  environment["LANG"] = "fr_FR.UTF-8";
  environment["PLUMO_CALLER"] = "yes";
  testing::Pipe output;
  // No --no-ui and no display: the window is tried (which sets GSK_RENDERER for us), then the terminal used.
  testing::RunningProgram program({PLUMO_SHARE_PROGRAM, (home / "notes.txt").string()}, environment, "", [&] {
    for (const char* name : {"LANGUAGE", "GSK_RENDERER", "DISPLAY", "WAYLAND_DISPLAY"}) ::unsetenv(name);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    ::dup2(output.ends[1], STDOUT_FILENO);
  });
  output.closeEnd(1);

  const auto printed = output.readToEnd();
  const auto result = program.wait();
  const std::string recorded = readFile(awaited(record));
  const auto pid = recorded.substr(0, recorded.find('\n'));
  if (pid.starts_with("pid=")) ::kill(std::stoi(pid.substr(4)), SIGKILL);

  EXPECT_TRUE(printed.has_value()) << "the host holds our standard output";
  EXPECT_EQ(printed.value_or(""), onlyShare() + "\n");
  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  EXPECT_THAT(recorded, HasSubstr("streams=/dev/null /dev/null /dev/null\n"));
  EXPECT_THAT(recorded, HasSubstr("LANGUAGE=unset\nGSK_RENDERER=unset\nLANG=fr_FR.UTF-8\ncaller=yes\n"));
  EXPECT_THAT(recorded, HasSubstr("SigBlk:\t0000000000000000\n"));
}

// Where no desktop entry handles the scheme, GIO has routes of its own: in a sandbox, the desktop
// portal over D-Bus. The URL taken there is a share opened.
TEST_F(PlumoShareProgramTest, WithoutADesktopEntryTheUrlTakesGiosOwnRoute) {
  testing::RunningProgram bus({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"});
  ASSERT_TRUE(testing::eventually([&] { return bus.standardOutputSoFar().ends_with("\n"); }))
      << bus.standardErrorSoFar();
  const std::string address = bus.standardOutputSoFar().substr(0, bus.standardOutputSoFar().find('\n'));
  testing::FakeOpenUriPortal portal(address);
  ASSERT_TRUE(portal.ready());
  auto environment = this->environment();
  environment["DBUS_SESSION_BUS_ADDRESS"] = address;
  environment["GTK_USE_PORTAL"] = "1";    // GIO 2.74's word for "in a sandbox"
  environment["GIO_USE_PORTALS"] = "1";   // GIO 2.76's and later

  const auto result = runProgram(command({"--text", "through the portal"}), environment);

  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  const auto id = fs::path(onlyShare()).filename().string();
  // GIO 2.84 writes the empty path as "/" on its way to the portal.
  EXPECT_THAT(portal.openedUris(), ElementsAre(AnyOf(PLUMO_SCHEME "://bot-share?id=" + id,
                                                     PLUMO_SCHEME "://bot-share/?id=" + id)));
}

// A published share is handed off whatever became of standard output.
TEST_F(PlumoShareProgramTest, AClosedPipeOnStandardOutputStillHandsTheShareOff) {
  installHost();
  writeFile(home / "notes.txt", "notes");
  testing::Pipe output;
  output.closeEnd(0);
  const auto result = runProgram(command({(home / "notes.txt").string()}), environment(), "",
                                 [&] { ::dup2(output.ends[1], STDOUT_FILENO); });

  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  EXPECT_THAT(result.standardError, HasSubstr("plumo-share: the share's path could not be written: Broken pipe"));
  const auto id = fs::path(onlyShare()).filename().string();
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(receivedUrl(), PLUMO_SCHEME "://bot-share?id=" + id);
}

// Standard streams the caller closed are /dev/null to us: no descriptor of ours takes their place.
TEST_F(PlumoShareProgramTest, ClosedStandardStreamsReadAsDevNull) {
  installHost();
  writeFile(home / "notes.txt", "notes");
  const auto closedOutput = runProgram(command({(home / "notes.txt").string()}), environment(), "",
                                       [] { ::close(STDOUT_FILENO); });
  EXPECT_EQ(closedOutput.exitStatus, 0) << closedOutput.standardError;
  EXPECT_EQ(receivedUrl(), PLUMO_SCHEME "://bot-share?id=" + fs::path(onlyShare()).filename().string());

  const auto closedInput = runProgram(command({"-"}), environment(), "", [] { ::close(STDIN_FILENO); });
  EXPECT_EQ(closedInput.exitStatus, 1);
  EXPECT_THAT(closedInput.standardError, HasSubstr("plumo-share: Choose something to share.\n"));

  // Without standard error: seen while the share waits for the inbox, its descriptor 2 is /dev/null.
  fs::remove(received);
  fs::create_directories(root / "inbox");
  {
    testing::LockHolder publishing(root / "inbox" / ".publish-lock");
    testing::RunningProgram waiting(command({(home / "notes.txt").string()}), environment(), "",
                                    [] { ::close(STDERR_FILENO); });
    std::error_code unseen;
    ASSERT_TRUE(testing::eventually([&] { return fs::exists(root / "staging") && !fs::is_empty(root / "staging"); }));
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(waiting.pid()) + "/fd/2", unseen), "/dev/null");
  }

  fs::remove(received);
  const auto allClosed = runProgram(command({(home / "notes.txt").string()}), environment(), "", [] {
    for (int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::close(descriptor);
  });
  EXPECT_EQ(allClosed.exitStatus, 0);
  EXPECT_THAT(receivedUrl(), HasSubstr("://bot-share?id="));
}

// A signal that comes while the libraries are initialised (a preloaded library raises it), or at
// main's first system call (strace delivers it as the program enters its first fcntl) is a dismiss;
// so is one the caller left waiting, blocked, when it started us.
TEST_F(PlumoShareProgramTest, ASignalFromTheFirstInstructionIsADismiss) {
  installHost();
  // An abandoned share, old enough for any share's sweep: a dismiss at start sweeps nothing either.
  const fs::path orphan = root / "staging" / "aaaaaaaa-0000-4000-8000-000000000001";
  fs::create_directories(orphan);
  const timespec longAgo[2] = {{0, 0}, {0, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, orphan.c_str(), longAgo, 0), 0);
  const auto expectDismissed = [&](const testing::ProgramResult& result) {
    EXPECT_EQ(result.endingSignal, 0);
    EXPECT_EQ(result.exitStatus, 130) << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "staging"), {}), 1) << "staged or swept";
    EXPECT_TRUE(fs::exists(orphan));
    EXPECT_TRUE(inboxShares().empty());
  };
  for (const int number : {SIGINT, SIGTERM}) {
    auto environment = this->environment();
    environment["LD_PRELOAD"] = PLUMO_SIGNAL_AT_LOAD;
    environment["PLUMO_SIGNAL_AT_LOAD"] = std::to_string(number);
    // Under AddressSanitizer, whose runtime then no longer comes first.
    const char* options = std::getenv("ASAN_OPTIONS");
    environment["ASAN_OPTIONS"] = std::string(options != nullptr ? options : "") + ":verify_asan_link_order=0";
    expectDismissed(runProgram(command({"-"}), environment, "a text"));
  }
  for (const std::string name : {"SIGINT", "SIGTERM"}) {
    expectDismissed(traced("fcntl:signal=" + name + ":when=1", {"-"}, "a text"));
  }
  for (const int number : {SIGINT, SIGTERM}) {
    expectDismissed(share({"-"}, "a text", [number] {
      sigset_t signals;
      sigemptyset(&signals);
      sigaddset(&signals, number);
      ::sigprocmask(SIG_BLOCK, &signals, nullptr);
      ::raise(number);
    }));
  }
  EXPECT_FALSE(fs::exists(received));
}

// The status line keeps its text and category; the system's reason follows it.
TEST_F(PlumoShareProgramTest, AFailureLineAddsTheSystemsReason) {
  writeFile(home / "notes.txt", "notes");
  const auto fullDisk = traced("fsync:error=ENOSPC", {(home / "notes.txt").string()});
  EXPECT_EQ(fullDisk.exitStatus, 1);
  EXPECT_THAT(fullDisk.standardError, HasSubstr("category=readFailed domain=NSPOSIXErrorDomain code=28"));
  EXPECT_THAT(fullDisk.standardError,
              HasSubstr("plumo-share: Retry: couldn’t read or save. (No space left on device)\n"));
  language = "de";
  EXPECT_THAT(traced("fsync:error=ENOSPC", {(home / "notes.txt").string()}).standardError,
              HasSubstr("plumo-share: Lese-/Speicherfehler. Erneut. ("));
  language = "en";

  fs::create_directories(root / "inbox");
  fs::remove(root / "inbox" / ".publish-lock");
  fs::create_symlink(home / "elsewhere", root / "inbox" / ".publish-lock");
  const auto linkedLock = share({(home / "notes.txt").string()});
  EXPECT_EQ(linkedLock.exitStatus, 1);
  EXPECT_THAT(linkedLock.standardError, HasSubstr("category=permission"));
  EXPECT_THAT(linkedLock.standardError, HasSubstr("plumo-share: Check permissions, then retry. "
                                                  "(Too many levels of symbolic links)\n"));

  const auto empty = share({});
  EXPECT_THAT(empty.standardError, HasSubstr("plumo-share: Choose something to share.\n"));
}

// Catalogs that cannot be opened leave the English texts built into the program, not their keys.
TEST_F(PlumoShareProgramTest, ABundleWithoutCatalogsSpeaksEnglish) {
  const fs::path bundle = home / "bundle";
  fs::create_directories(bundle);
  fs::copy_file(fs::path(PLUMO_BUNDLE_DIR) / "Info.plist", bundle / "Info.plist");
  auto environment = this->environment();
  environment["LANGUAGE"] = "de";
  const auto result = runProgram(command({"--bundle", bundle.string()}), environment);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_THAT(result.standardError, HasSubstr("plumo-share: Preparing your share…\n"));
  EXPECT_THAT(result.standardError, HasSubstr("plumo-share: Choose something to share.\n"));
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
