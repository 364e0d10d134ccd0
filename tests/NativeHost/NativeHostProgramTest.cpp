// The real native host, as a browser runs it: requests on standard input, framed replies on standard output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>

#include "Files.h"
#include "LockHolder.h"
#include "Pipe.h"
#include "RunningProgram.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Json = nlohmann::json;

namespace plumo {
namespace {

std::string framed(const std::string& message) {
  const auto length = static_cast<std::uint32_t>(message.size());
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);
  return bytes + message;
}

// Every reply on standard output, which must hold framed JSON and nothing else.
std::vector<Json> replies(std::string output) {
  std::vector<Json> read;
  while (output.size() >= 4) {
    std::uint32_t length = 0;
    std::memcpy(&length, output.data(), sizeof length);
    if (output.size() < 4 + length) break;
    read.push_back(Json::parse(output.substr(4, length)));
    output.erase(0, 4 + length);
  }
  EXPECT_EQ(output, "") << "bytes outside a frame";
  return read;
}

// True once the process blocks SIGTERM, as the host does from its first steps.
bool holdsTermination(pid_t pid) {
  const std::string status = testing::readFile("/proc/" + std::to_string(pid) + "/status");
  const auto at = status.find("SigBlk:");
  return at != std::string::npos && (std::stoull(status.substr(at + 7), nullptr, 16) & (1ull << (SIGTERM - 1))) != 0;
}

class NativeHostProgramTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory home;
  fs::path root = home / "data" / "group-containers" / PLUMO_APP_GROUP / "PlumoShare";

  std::map<std::string, std::string> environment() const {
    return {{"XDG_DATA_HOME", (home / "data").string()}, {"XDG_CONFIG_HOME", (home / "config").string()},
            {"HOME", (home / "").string()}, {"XDG_DATA_DIRS", "/usr/share"}, {"LANGUAGE", "en"}, {"LANG", "C.UTF-8"},
            {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"G_MESSAGES_DEBUG", "all"}};
  }

  // The host as Chromium starts it, with these bytes on its standard input.
  testing::ProgramResult host(const std::string& input) {
    return testing::runProgram({PLUMO_NATIVE_HOST_PROGRAM, "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"},
                               environment(), input);
  }

  std::vector<fs::path> inboxShares() const {
    std::vector<fs::path> shares;
    if (!fs::exists(root / "inbox")) return shares;
    for (const auto& entry : fs::directory_iterator(root / "inbox")) {
      if (!entry.path().filename().string().starts_with(".")) shares.push_back(entry.path());
    }
    return shares;
  }

  bool stagingIsEmpty() const { return !fs::exists(root / "staging") || fs::is_empty(root / "staging"); }
};

TEST_F(NativeHostProgramTest, AnswersEachRequestOfAConnectionInOrder) {
  const std::string png("\x89PNG\r\n\x1a\n\0\xff", 10);
  const auto result = host(
      framed(R"({"version":1,"items":[{"url":"https://example.com/a?b=c"},{"text":"Example – a page"}]})") +
      framed(R"({"version":1,"items":[{"text":"not taken"},{"file":{"name":"a","type":"image/png","data":"*"}}]})") +
      framed(R"({"version":1,"items":[{"file":{"name":"photo.png","type":"public.png","data":"iVBORw0KGgoA/w=="}},)"
             R"({"file":{"name":"../a.png","type":"public.png","data":""}},)"
             R"({"file":{"name":"b\u0000.png","type":"public.png","data":""}}],"language":"de-DE"})") +
      framed(R"({"version":1,"items":[],"language":"pt-BR"})"));

  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  const auto answers = replies(result.standardOutput);
  ASSERT_EQ(answers.size(), 4u) << result.standardOutput;
  EXPECT_EQ(answers[0]["status"], "published");
  EXPECT_EQ(answers[0]["handedOff"], false) << "no host application is installed";
  EXPECT_EQ(answers[0]["message"], "Saved. Open Plumo to finish.");
  EXPECT_EQ(answers[1], (Json{{"status", "invalid"}, {"message", "a file's data is not base64"}}));
  EXPECT_EQ(answers[2]["status"], "published");
  EXPECT_EQ(answers[2]["message"], "Gespeichert. Öffne Plumo.") << "in the language the browser named";
  // A language without a catalog: English, as the extension shows it.
  EXPECT_EQ(answers[3], (Json{{"status", "failed"}, {"category", "empty"}, {"message", "Choose something to share."}}));

  const auto first = root / "inbox" / answers[0]["id"].get<std::string>();
  EXPECT_EQ(Json::parse(testing::readFile(first / "payload.json"))["message"],
            "https://example.com/a?b=c\n\nExample – a page");
  const auto second = root / "inbox" / answers[2]["id"].get<std::string>();
  // A page's names are taken as staged names are: the last component, a NUL made safe.
  EXPECT_EQ(Json::parse(testing::readFile(second / "payload.json"))["files"],
            Json::array({"1-photo.png", "2-a.png", "3-b_.png"}));
  EXPECT_EQ(testing::readFile(second / "1-photo.png"), png);
  EXPECT_EQ(inboxShares().size(), 2u);
  EXPECT_TRUE(stagingIsEmpty());
  EXPECT_THAT(result.standardError, HasSubstr("publish complete")) << "log lines go to standard error";
}

TEST_F(NativeHostProgramTest, AFrameThatCannotBeReadWholeGetsItsReplyAndEndsTheConnection) {
  const std::string request = framed(R"({"version":1,"items":[{"text":"never shared"}]})");
  const std::string over = framed("").replace(0, 4, std::string("\xff\xff\xff\x7f", 4));
  for (const auto& [input, reason] : std::vector<std::pair<std::string, std::string>>{
           {request.substr(0, request.size() - 1), "cut short"},
           {request.substr(0, 2), "length is cut short"},
           {over + request, "over the limit"}}) {
    const auto result = host(input);
    EXPECT_EQ(result.exitStatus, 1) << reason;
    const auto answers = replies(result.standardOutput);
    ASSERT_EQ(answers.size(), 1u) << reason;
    EXPECT_EQ(answers[0]["status"], "invalid");
    EXPECT_THAT(answers[0]["message"].get<std::string>(), HasSubstr(reason));
  }
  EXPECT_TRUE(inboxShares().empty());
  EXPECT_TRUE(stagingIsEmpty());
}

TEST_F(NativeHostProgramTest, ASignalDuringARequestAnswersDismissedAndPublishesNothing) {
  fs::create_directories(root / "inbox");
  testing::LockHolder holder(root / "inbox" / ".publish-lock");
  testing::Pipe input;
  testing::RunningProgram program({PLUMO_NATIVE_HOST_PROGRAM}, environment(), "",
                                  [&] { ::dup2(input.ends[0], STDIN_FILENO); });
  input.closeEnd(0);
  // A second request already waits in the pipe: the signal ends the host before it.
  const std::string requests = framed(R"({"version":1,"items":[{"text":"waits for the lock"}]})") +
                               framed(R"({"version":1,"items":[{"text":"queued behind it"}]})");
  ASSERT_EQ(::write(input.ends[1], requests.data(), requests.size()), static_cast<ssize_t>(requests.size()));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);  // only a hang fails it
  while (program.standardErrorSoFar().find("collect start") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // on to the wait for the lock

  program.signal(SIGTERM);
  while (program.standardOutputSoFar().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  holder.release();
  input.closeEnd(1);
  const auto result = program.wait();

  EXPECT_EQ(result.exitStatus, 130) << result.standardError;
  EXPECT_EQ(replies(result.standardOutput), (std::vector<Json>{Json{{"status", "dismissed"}}}));
  EXPECT_TRUE(inboxShares().empty());
  EXPECT_TRUE(stagingIsEmpty());
}

// The browser keeps standard input open; a signal still ends the wait for the next request.
TEST_F(NativeHostProgramTest, ASignalBetweenRequestsEndsTheHost) {
  testing::Pipe input;
  testing::RunningProgram program({PLUMO_NATIVE_HOST_PROGRAM}, environment(), "",
                                  [&] { ::dup2(input.ends[0], STDIN_FILENO); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);  // only a hang fails it
  while (!holdsTermination(program.pid()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // on to the wait for a request
  program.signal(SIGTERM);
  while (!program.ended() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(program.ended()) << "still waiting for a request";
  const auto result = program.wait();
  EXPECT_EQ(result.endingSignal, 0);
  EXPECT_EQ(result.standardOutput, "");
}

// A reply that cannot reach the browser (it stopped reading) ends the host: nothing more is shared.
TEST_F(NativeHostProgramTest, AReplyThatCannotBeWrittenEndsTheHost) {
  const std::string request = framed(R"({"version":1,"items":[{"text":"a text"}]})");
  const auto result = testing::runProgram({PLUMO_NATIVE_HOST_PROGRAM}, environment(), request + request, [] {
    int ends[2];
    if (::pipe(ends) != 0) ::_exit(99);
    ::close(ends[0]);
    ::dup2(ends[1], STDOUT_FILENO);
  });
  EXPECT_EQ(result.exitStatus, 1) << result.standardError;
  EXPECT_EQ(inboxShares().size(), 1u) << "the request whose reply failed, and no other";
}

// A signal that waits, blocked, when the host starts ends it before the requests already sent.
TEST_F(NativeHostProgramTest, ASignalPendingAtStartServesNoRequest) {
  const auto result = testing::runProgram(
      {PLUMO_NATIVE_HOST_PROGRAM}, environment(),
      framed(R"({"version":1,"items":[{"text":"sent before the signal"}]})") + framed(R"({"version":1,"items":[]})"),
      [] {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        ::sigprocmask(SIG_BLOCK, &signals, nullptr);
        ::raise(SIGTERM);
      });
  EXPECT_EQ(result.endingSignal, 0);
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_TRUE(inboxShares().empty());
}

}  // namespace
}  // namespace plumo
