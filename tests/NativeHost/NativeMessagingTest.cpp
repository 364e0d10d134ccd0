// The protocol of the browser's native host: framing, and the requests it refuses before anything is staged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <glib.h>
#include <sys/ioctl.h>
#include <nlohmann/json.hpp>
#include <thread>

#include "NativeMessageChannel.h"
#include "Pipe.h"
#include "SharePayloadCollector.h"
#include "ShareReply.h"
#include "ShareRequest.h"

using ::testing::HasSubstr;

namespace plumo {
namespace {

std::string lengthOf(std::uint32_t length) {
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);
  return bytes;
}

// What a channel reads from these bytes, the input closed after them: the
// messages, then "end" or "broken: <reason>".
std::vector<std::string> readAll(const std::string& bytes) {
  testing::Pipe input;
  testing::Pipe stop;
  std::thread writer([&] {
    (void)!::write(input.ends[1], bytes.data(), bytes.size());
    input.closeEnd(1);
  });
  NativeMessageChannel channel(input.ends[0], -1, stop.ends[0]);
  std::vector<std::string> read;
  try {
    while (const auto message = channel.read()) read.push_back(*message);
    read.push_back("end");
  } catch (const NativeMessageChannel::BrokenFrame& broken) {
    read.push_back(std::string("broken: ") + broken.what());
  }
  writer.join();
  return read;
}

TEST(NativeMessageChannelTest, ReadsFramesInNativeByteOrderUntilTheInputEndsOrBreaksOrGrowsOverTheLimit) {
  const std::string two = NativeMessageChannel::frame("{\"a\":1}") + NativeMessageChannel::frame("[]");
  EXPECT_EQ(two.substr(0, 4), lengthOf(7));
  EXPECT_EQ(readAll(two), (std::vector<std::string>{"{\"a\":1}", "[]", "end"}));
  EXPECT_EQ(readAll(""), (std::vector<std::string>{"end"}));

  const auto cutHeader = readAll(NativeMessageChannel::frame("[]") + lengthOf(9).substr(0, 3));
  ASSERT_EQ(cutHeader.size(), 2u);
  EXPECT_THAT(cutHeader[1], HasSubstr("length is cut short"));
  EXPECT_THAT(readAll(lengthOf(9) + "[1,2]").back(), HasSubstr("cut short: 5 of 9 bytes"));
  // A message of the limit is read whole; one byte more is refused from its length alone.
  const std::string largest(NativeMessageChannel::messageLimit, ' ');
  EXPECT_EQ(readAll(lengthOf(NativeMessageChannel::messageLimit) + largest).front().size(), largest.size());
  EXPECT_THAT(readAll(lengthOf(NativeMessageChannel::messageLimit + 1)).back(), HasSubstr("over the limit"));
  EXPECT_THAT(readAll(lengthOf(0xffffffff) + "{}").back(), HasSubstr("over the limit"));
  // Room for a share's 50 MiB of files in base64 with its texts, and not much more.
  EXPECT_GE(NativeMessageChannel::messageLimit, 52'428'800u / 3 * 4 + 4 + 131'072u * 6);
  EXPECT_LE(NativeMessageChannel::messageLimit, 72u * 1024 * 1024);
}

TEST(NativeMessageChannelTest, AByteOnTheStopDescriptorEndsAWaitingRead) {
  testing::Pipe input;
  testing::Pipe stop;
  NativeMessageChannel channel(input.ends[0], -1, stop.ends[0]);
  std::thread stopper([&] { (void)!::write(stop.ends[1], "x", 1); });
  EXPECT_EQ(channel.read(), std::nullopt);
  stopper.join();
}

// Stopped in the middle of a frame, nothing after it can be trusted: a broken frame.
TEST(NativeMessageChannelTest, AStopInTheMiddleOfAFrameBreaksIt) {
  testing::Pipe input;
  testing::Pipe stop;
  NativeMessageChannel channel(input.ends[0], -1, stop.ends[0]);
  ASSERT_EQ(::write(input.ends[1], lengthOf(9).data(), 2), 2);
  std::thread stopper([&] {  // once the reader has taken the frame's first bytes
    int waiting = 1;
    while (::ioctl(input.ends[0], FIONREAD, &waiting) == 0 && waiting > 0) std::this_thread::yield();
    (void)!::write(stop.ends[1], "x", 1);
  });
  EXPECT_THROW(channel.read(), NativeMessageChannel::BrokenFrame);
  stopper.join();
}

TEST(ShareRequestTest, RefusesEveryMalformedRequestWithItsReason) {
  const std::string manyItems = [] {
    std::string items;
    for (int index = 0; index < 33; ++index) items += std::string(index ? "," : "") + R"({"text":"x"})";
    return R"({"version":1,"items":[)" + items + "]}";
  }();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"version\":1,\"items\":[{\"text\":\"caf\xe9\"}]}", "not UTF-8"},
      {R"({"version":1,"items":[{"text":"\ud800"}]})", "not JSON"},
      {R"({"version":1,"items":[)", "not JSON"},
      {R"([1])", "the request must be an object"},
      {R"({"version":2,"items":[]})", "unsupported version"},
      {R"({"version":1,"items":[{"text":1e400}]})", "not JSON"},
      {R"({"version":)" + std::string(100000, '[') + std::string(100000, ']') + R"(,"items":[]})",
       "unsupported version"},
      {R"({"version":"1","items":[]})", "unsupported version"},
      {R"({"items":[],"extra":1})", "has no \"version\""},
      {R"({"version":1,"items":{}})", "must be an array"},
      {R"({"version":1,"items":[{"image":"x"}]})", "unknown item kind \"image\""},
      {R"({"version":1,"items":[{"text":"a","url":"https://b"}]})", "one member"},
      {R"({"version":1,"items":[{"text":7}]})", "must be a string"},
      {R"({"version":1,"items":[{"url":"ftp://example.com/f"}]})", "only http and https links"},
      {R"({"version":1,"items":[{"url":"mailto:someone@example.com"}]})", "only http and https links"},
      {R"({"version":1,"items":[{"url":"https://example.com:99999/"}]})", "its port is not a number"},
      {R"({"version":1,"items":[{"file":{"name":"a.png","type":"image/png"}}]})", "must be an object of its own"},
      {R"({"version":1,"items":[{"file":{"name":"a.png","type":"image/png","data":"abc"}}]})", "not base64"},
      {R"({"version":1,"items":[{"file":{"name":"a.png","type":"image/png","data":"ab=c"}}]})", "not base64"},
      {R"({"version":1,"items":[{"file":{"name":"a.png","type":"image/png","data":"ab\ncd=="}}]})", "not base64"},
      {R"({"version":1,"items":[{"file":{"name":"a","type":"no/such-type","data":""}}]})", "unknown type"},
      // A page never names a local file or folder through a file's type.
      {R"({"version":1,"items":[{"file":{"name":"a.png","type":"public.file-url","data":"ZmlsZTovLy9ldGMvcGFzc3dk"}}]})",
       "not a type of bytes"},
      {R"({"version":1,"items":[{"file":{"name":"a","type":"inode/directory","data":"ZmlsZTovLy9ldGM="}}]})",
       "not a type of bytes"},
      {R"({"version":1,"items":[{"file":{"name":"a","type":"public.url","data":""}}]})", "not a type of bytes"},
      {manyItems, "more than 32 items"},
      {R"({"version":1,"items":[],"extra":1})", "must be an object of its own members"},
      {R"({"version":1,"items":[],"language":"de","extra":1})", "must be an object of its own members"},
      {R"({"version":1,"items":[],"language":["de"]})", "the language must be a string"},
      {R"({"version":1,"items":[{"file":{"name":"a","type":"image/png","data":"","size":1}}]})",
       "must be an object of its own members"},
  };
  for (const auto& [request, reason] : cases) {
    try {
      ShareRequest::parse(request);
      ADD_FAILURE() << "taken: " << request;
    } catch (const ShareRequest::Invalid& invalid) {
      EXPECT_THAT(invalid.what(), HasSubstr(reason)) << request;
    }
  }
  // The most items a request may hold are taken.
  std::string items;
  for (std::size_t index = 0; index < SharePayloadCollector::attachmentLimit; ++index) {
    items += std::string(index ? "," : "") + R"({"text":"x"})";
  }
  EXPECT_EQ(ShareRequest::parse(R"({"version":1,"items":[)" + items + "]}").item.attachments->size(),
            SharePayloadCollector::attachmentLimit);
  // So is an empty file, without a complaint of GLib's (made fatal here).
  const GLogLevelFlags fatal = g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
  EXPECT_EQ(ShareRequest::parse(R"({"version":1,"items":[{"file":{"name":"a","type":"image/png","data":""}}]})")
                .item.attachments->size(),
            1u);
  g_log_set_always_fatal(fatal);
  // A reason with bytes that are no UTF-8 still makes a reply, of valid JSON.
  EXPECT_EQ(nlohmann::json::parse(ShareReply::invalid("caf\xe9 \xff")).at("status"), "invalid");
  // A browser drops a reply over 1 MiB: no echo of a request makes one.
  const std::string longType = R"({"version":1,"items":[{"file":{"name":"a","type":")" +
                               std::string(2 << 20, 'x') + R"(","data":""}}]})";
  try {
    ShareRequest::parse(longType);
    ADD_FAILURE() << "a long unknown type was taken";
  } catch (const ShareRequest::Invalid& invalid) {
    const std::string reply = ShareReply::invalid(invalid.what());
    EXPECT_LT(reply.size(), 64u << 10);
    EXPECT_EQ(nlohmann::json::parse(reply).at("status"), "invalid");
  }
  // A refused link of megabytes is not echoed: a browser drops a reply over 1 MiB.
  const std::string longLink = R"({"version":1,"items":[{"url":"ftp://)" + std::string(2 << 20, 'a') + R"("}]})";
  try {
    ShareRequest::parse(longLink);
    ADD_FAILURE() << "a long ftp link was taken";
  } catch (const ShareRequest::Invalid& invalid) {
    EXPECT_LT(std::string_view(invalid.what()).size(), 1024u);
  }
}

}  // namespace
}  // namespace plumo
