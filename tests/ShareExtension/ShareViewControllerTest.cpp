#include "BuildIdentity.h"
#include "ShareViewController.h"

#include <chrono>
#include <glib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <plist/plist.h>
#include <sys/stat.h>

#include "BinaryPlist.h"
#include "ErrorDomain.h"
#include "Files.h"
#include "Localization.h"
#include "PropertyList.h"
#include "RecordingContext.h"
#include "RecordingWorkspace.h"
#include "TemporaryDirectory.h"
#include "TestItemProvider.h"
#include "Texts.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace plumo {
namespace {

using testing::RecordingContext;
using testing::RecordingWorkspace;
using testing::TestItemProvider;
using testing::writeFile;
using Phase = ShareViewController::Phase;

// Every log line of the process, as "<level> <subsystem>/<category>: <message>".
class CapturedLog {
 public:
  static CapturedLog& shared() {
    static CapturedLog log;
    return log;
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  CapturedLog() { g_log_set_writer_func(&CapturedLog::write, this, nullptr); }
  static GLogWriterOutput write(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer self) {
    std::string message, subsystem, category, priority;
    for (gsize index = 0; index < count; ++index) {
      const std::string key = fields[index].key;
      const char* value = static_cast<const char*>(fields[index].value);
      if (key == "MESSAGE") message = value;
      if (key == "PLUMO_SUBSYSTEM") subsystem = value;
      if (key == "PLUMO_CATEGORY") category = value;
      if (key == "PRIORITY") priority = value;
    }
    const std::string levelName = (level & G_LOG_LEVEL_INFO) && priority == "6" ? "info" : priority == "3" ? "error" : "?";
    auto* log = static_cast<CapturedLog*>(self);
    std::lock_guard lock(log->mutex_);
    log->lines_.push_back(levelName + " " + subsystem + "/" + category + ": " + message);
    return G_LOG_WRITER_HANDLED;
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

const std::string subsystem = std::string(PLUMO_HOST_BUNDLE_ID) + ".share/import";
constexpr const char* group = "ABCDE12345.com.example.plumo";

class ShareViewControllerTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory temporary;
  fs::path bundle = temporary / "bundle";
  fs::path root = temporary / "data" / "group-containers" / group / "PlumoShare";
  RecordingContext context;
  RecordingWorkspace workspace;

  void SetUp() override {
    Localization::setUp(PLUMO_BUNDLE_DIR);
    CapturedLog::shared().take();
    ::setenv("XDG_DATA_HOME", (temporary / "data").c_str(), 1);
    fs::create_directories(bundle);
    writeInfo({{"PlumoAppGroup", group}});
  }

  void writeInfo(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string xml = "<plist version=\"1.0\"><dict>";
    for (const auto& [key, value] : entries) xml += "<key>" + key + "</key><string>" + value + "</string>";
    writeFile(bundle / "Info.plist", xml + "</dict></plist>");
  }

  std::shared_ptr<ShareViewController> controller() {
    return std::make_shared<ShareViewController>(bundle, &context, workspace);
  }

  // Turns the main loop until `done` holds; false after five seconds.
  static bool runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // Turns the main loop for a while, for what must not happen.
  static void settle() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) {
      if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  static bool runUntilPhase(const ShareViewController& shown, Phase phase) {
    return runUntil([&] { return shown.phase() == phase; });
  }

  std::shared_ptr<TestItemProvider> text(const std::string& value) {
    auto provider = std::make_shared<TestItemProvider>(std::vector<std::string>{"public.plain-text"});
    provider->item = value;
    return provider;
  }

  std::size_t stagingFolders() const {
    return fs::exists(root / "staging") ? testing::countEntries(root / "staging") : 0;
  }
};

using testing::repeated;

using Attachments = std::vector<std::shared_ptr<ItemProvider>>;

ExtensionItem itemWith(std::optional<Attachments> attachments,
                       std::optional<std::string> contentText = std::nullopt) {
  ExtensionItem item;
  if (contentText) item.attributedContentText = AttributedString{*contentText};
  item.attachments = std::move(attachments);
  return item;
}

TEST_F(ShareViewControllerTest, APublishedShareWakesTheHostWithItsId) {
  context.items = {itemWith({{text("hello")}})};
  const auto shown = controller();
  shown->viewDidAppear();
  EXPECT_EQ(shown->status->stringValue(), Localization::text("preparing"));
  ASSERT_TRUE(runUntilPhase(*shown, Phase::handedOff));

  const std::string id = shown->staged()->id();
  EXPECT_THAT(workspace.opened, ElementsAre("plumo://bot-share?id=" + id)) << "the default scheme";
  EXPECT_EQ(context.completions, 1);
  EXPECT_TRUE(fs::exists(root / "inbox" / id / "payload.json"));
  EXPECT_EQ(shown->status->stringValue(), Localization::text("preparing")) << "unchanged on success";
  EXPECT_THAT(CapturedLog::shared().take(),
              ElementsAre("info " + subsystem + ": collect start itemCount=1 providerCount=1",
                          "info " + subsystem + ": publish complete attachmentCount=0"));
}

TEST_F(ShareViewControllerTest, TheConfiguredSchemeIsUsedByteForByte) {
  writeInfo({{"PlumoAppGroup", group}, {"PlumoScheme", "plumo-dev"}});
  context.items = {itemWith({{text("hello")}})};
  const auto shown = controller();
  shown->viewDidAppear();
  ASSERT_TRUE(runUntilPhase(*shown, Phase::handedOff));
  EXPECT_THAT(workspace.opened, ElementsAre("plumo-dev://bot-share?id=" + shown->staged()->id()));
}

TEST_F(ShareViewControllerTest, WithoutAGroupTheImportFailsBeforeStagingAnything) {
  writeInfo({{"PlumoScheme", "plumo"}});
  const auto shown = controller();
  shown->viewDidAppear();
  ASSERT_TRUE(runUntilPhase(*shown, Phase::failed));

  EXPECT_EQ(shown->status->stringValue(), Localization::text("error.unavailable"));
  EXPECT_THAT(CapturedLog::shared().take(),
              ElementsAre("error " + subsystem +
                          ": import failed stage=container category=unavailable "
                          "domain=PlumoShare.ShareImportFailure code=0"));
  EXPECT_FALSE(fs::exists(temporary / "data" / "group-containers"));
  EXPECT_EQ(context.completions, 0);
  EXPECT_EQ(context.cancellations, 0) << "the card stays open until dismissed";
}

TEST_F(ShareViewControllerTest, TheStartLineCountsItemsAndAttachments) {
  context.items = {itemWith({{text("a"), text("b"), text("c")}}), itemWith(Attachments{}), itemWith(std::nullopt)};
  const auto shown = controller();
  shown->viewDidAppear();
  ASSERT_TRUE(runUntilPhase(*shown, Phase::handedOff));
  EXPECT_EQ(CapturedLog::shared().take().front(), "info " + subsystem + ": collect start itemCount=3 providerCount=3");
}

TEST_F(ShareViewControllerTest, TheCompletionLineCountsStagedFilesOnly) {
  fs::create_directories(temporary / "one");
  fs::create_directories(temporary / "two");
  writeFile(temporary / "file.txt", "x");
  std::vector<std::shared_ptr<ItemProvider>> attachments;
  for (const char* name : {"one", "two"}) {
    auto folder = std::make_shared<TestItemProvider>(std::vector<std::string>{"public.folder"});
    folder->item = Url::fileUrl(temporary / name);
    attachments.push_back(folder);
  }
  auto file = std::make_shared<TestItemProvider>(std::vector<std::string>{"public.file-url"});
  file->item = Url::fileUrl(temporary / "file.txt");
  attachments.push_back(file);
  attachments.push_back(text("a text"));
  context.items = {itemWith(attachments)};

  const auto shown = controller();
  shown->viewDidAppear();
  ASSERT_TRUE(runUntilPhase(*shown, Phase::handedOff));
  EXPECT_EQ(CapturedLog::shared().take().back(), "info " + subsystem + ": publish complete attachmentCount=1");
}

TEST_F(ShareViewControllerTest, AFailureIsLoggedWithItsStageAndTheStagingFolderRemoved) {
  std::vector<std::shared_ptr<ItemProvider>> tooMany;
  for (int index = 0; index < 33; ++index) tooMany.push_back(text("t"));
  context.items = {itemWith(tooMany)};
  const auto shown = controller();
  shown->viewDidAppear();
  ASSERT_TRUE(runUntilPhase(*shown, Phase::failed));

  EXPECT_EQ(CapturedLog::shared().take().back(),
            "error " + subsystem +
                ": import failed stage=provider category=tooLarge domain=PlumoShare.ShareImportFailure code=3");
  EXPECT_EQ(shown->status->stringValue(), Localization::text("error.tooLarge"));
  EXPECT_EQ(stagingFolders(), 0u);

  shown->dismiss->performClick();
  EXPECT_EQ(context.cancellations, 1);
}

// Errors from outside the import keep their own domain and code in the line.
TEST_F(ShareViewControllerTest, TheFailureLineCarriesTheErrorsOwnDomainAndCode) {
  auto refusing = std::make_shared<TestItemProvider>(std::vector<std::string>{"public.url"});
  refusing->itemError = std::error_code(7, itemProviderErrorDomain());
  auto missing = std::make_shared<TestItemProvider>(std::vector<std::string>{"public.file-url"});
  missing->item = Url::fileUrl(temporary / "missing.txt");
  const std::vector<std::pair<std::shared_ptr<TestItemProvider>, std::string>> failures = {
      {refusing, "domain=NSItemProviderErrorDomain code=7"},
      {missing, "domain=NSPOSIXErrorDomain code=" + std::to_string(ENOENT)}};

  for (const auto& [provider, domainAndCode] : failures) {
    context.items = {itemWith({{provider}})};
    const auto shown = controller();
    shown->viewDidAppear();
    ASSERT_TRUE(runUntilPhase(*shown, Phase::failed)) << domainAndCode;
    EXPECT_EQ(CapturedLog::shared().take().back(),
              "error " + subsystem + ": import failed stage=provider category=readFailed " + domainAndCode);
    EXPECT_EQ(shown->status->stringValue(), Localization::text("error.readFailed"));
  }
}

TEST_F(ShareViewControllerTest, AFullQueueFailsAtThePublishStage) {
  for (int index = 0; index < 50; ++index) {
    char name[37];
    std::snprintf(name, sizeof name, "%08d-0000-4000-8000-000000000000", index);
    fs::create_directories(root / "inbox" / name);
    writeFile(root / "inbox" / name / "payload.json", "{}");
  }
  context.items = {itemWith({{text("late")}})};
  const auto shown = controller();
  shown->viewDidAppear();
  ASSERT_TRUE(runUntilPhase(*shown, Phase::failed));
  EXPECT_EQ(CapturedLog::shared().take().back(),
            "error " + subsystem +
                ": import failed stage=publish category=queueFull domain=PlumoShare.ShareImportFailure code=4");
  EXPECT_EQ(stagingFolders(), 0u);
}

TEST_F(ShareViewControllerTest, AHostThatDoesNotOpenLeavesTheShareInTheInbox) {
  workspace.opens = false;
  context.items = {itemWith({{text("hello")}})};
  const auto shown = controller();
  shown->viewDidAppear();
  ASSERT_TRUE(runUntilPhase(*shown, Phase::handOffFailed));

  EXPECT_EQ(shown->status->stringValue(), Localization::text("openPlumo"));
  const auto lines = CapturedLog::shared().take();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "error " + subsystem + ": import failed stage=wake category=launchFailed"), 1);
  EXPECT_EQ(context.completions, 0);

  shown->dismiss->performClick();
  EXPECT_EQ(context.cancellations, 1);
  EXPECT_TRUE(fs::exists(root / "inbox" / shown->staged()->id() / "payload.json"));
}

TEST_F(ShareViewControllerTest, AnUnusableSchemeOpensNothingAndSaysNothing) {
  writeInfo({{"PlumoAppGroup", group}, {"PlumoScheme", "not a scheme"}});
  context.items = {itemWith({{text("hello")}})};
  const auto shown = controller();
  shown->viewDidAppear();
  ASSERT_TRUE(runUntilPhase(*shown, Phase::handOffFailed));
  EXPECT_THAT(workspace.opened, IsEmpty());
  EXPECT_EQ(CapturedLog::shared().take().size(), 2u) << "the start and completion lines only";
  EXPECT_EQ(shown->status->stringValue(), Localization::text("preparing"));
  EXPECT_EQ(context.completions, 0);
  EXPECT_TRUE(fs::exists(root / "inbox" / shown->staged()->id()));
}

TEST_F(ShareViewControllerTest, DismissDuringACollectionCancelsEverythingQuietly) {
  auto slow = text("never delivered");
  slow->answer = TestItemProvider::Answer::never;
  context.items = {itemWith({{slow}})};
  const auto shown = controller();
  shown->viewDidAppear();
  ASSERT_TRUE(runUntil([&] { return !slow->requests().empty(); }));
  const std::string stagingFolder = shown->staged()->folder();
  CapturedLog::shared().take();

  shown->dismiss->performClick();
  EXPECT_EQ(context.cancellations, 1);
  EXPECT_FALSE(fs::exists(stagingFolder));
  EXPECT_EQ(slow.use_count(), 2) << "the collection thread has ended and let go of the items";

  // The collection ends once it sees the cancellation; nothing follows it.
  settle();
  EXPECT_FALSE(fs::exists(root / "inbox"));
  EXPECT_THAT(workspace.opened, IsEmpty());
  EXPECT_THAT(CapturedLog::shared().take(), IsEmpty());
  EXPECT_EQ(shown->status->stringValue(), Localization::text("preparing"));
  EXPECT_EQ(shown->phase(), Phase::importing);
}

// The staging folder goes only once nothing writes into it any more: not the
// collection, and not a provider's handler copying its file at the dismiss.
TEST_F(ShareViewControllerTest, ADismissWhileAFileIsStagedLeavesNoStagingFolder) {
  for (int run = 0; run < 6; ++run) {
    std::vector<std::shared_ptr<TestItemProvider>> providers;
    for (int index = 0; index < 3; ++index) {
      auto file = std::make_shared<TestItemProvider>(std::vector<std::string>{"public.png"});
      file->fileContents = std::string(2 << 20, 'x');
      providers.push_back(file);
    }
    context.items = {itemWith(std::vector<std::shared_ptr<ItemProvider>>(providers.begin(), providers.end()))};
    const auto shown = controller();
    shown->viewDidAppear();
    ASSERT_TRUE(runUntil([&] { return !providers[run % 3]->requests().empty(); }));
    shown->dismiss->performClick();
    context.items.clear();
    providers.clear();  // each provider waits for its answer to end
    EXPECT_EQ(stagingFolders(), 0u) << "run " << run;
  }
}

TEST_F(ShareViewControllerTest, ASecondAppearanceStartsNothing) {
  context.items = {itemWith({{text("once")}})};
  const auto shown = controller();
  shown->viewDidAppear();
  shown->viewDidAppear();
  ASSERT_TRUE(runUntilPhase(*shown, Phase::handedOff));
  shown->viewDidAppear();
  settle();
  EXPECT_EQ(workspace.opened.size(), 1u);
  EXPECT_EQ(testing::countEntries(root / "inbox"), 2u) << "one share and the lock file";
}

TEST_F(ShareViewControllerTest, SettingsAreReadOnceWithTheirDefaults) {
  writeInfo({});
  const auto defaults = controller();
  EXPECT_EQ(defaults->bundle().group(), "");
  EXPECT_EQ(defaults->bundle().scheme(), "plumo");
  EXPECT_EQ(defaults->bundle().hostBundleId(), PLUMO_HOST_BUNDLE_ID);
  writeFile(bundle / "Info.plist",
            "<plist version=\"1.0\"><dict><key>PlumoScheme</key><integer>7</integer>"
            "<key>PlumoHostBundleId</key><string>org.example.host</string></dict></plist>");
  EXPECT_EQ(defaults->bundle().hostBundleId(), PLUMO_HOST_BUNDLE_ID) << "read when the controller was made";
  const auto shown = controller();
  EXPECT_EQ(shown->bundle().scheme(), "plumo") << "a value that is not a string";
  EXPECT_EQ(shown->bundle().hostBundleId(), "org.example.host");
  shown->loadView();
  EXPECT_THAT(workspace.iconRequests, IsEmpty()) << "a card that no one sees needs no icon";
  shown->viewWillAppear();
  EXPECT_THAT(workspace.iconRequests, ElementsAre("org.example.host"));
}

// A binary property list of `levels` arrays, each holding `references` references to the
// next, around one `true`; references and offsets take three bytes.
std::string nestedBinaryPlist(std::uint64_t levels, std::size_t references) {
  std::vector<std::string> objects;
  for (std::uint64_t level = 0; level < levels; ++level) {
    objects.push_back(testing::binaryArray(std::vector<std::uint64_t>(references, level + 1), 3));
  }
  objects.emplace_back("\x09");
  return testing::binaryPlist(objects, 3);
}

// The same property list in the binary form that tools also write.
std::string binaryForm(const std::string& xml) {
  plist_t parsed = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &parsed);
  char* binary = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(parsed, &binary, &length);
  plist_free(parsed);
  std::string document(binary, length);
  std::free(binary);
  return document;
}

// Info.plist is input nobody vouches for: whatever it is, it reads as a dictionary or as none.
TEST_F(ShareViewControllerTest, AnInfoPlistThatCannotBeUsedReadsAsNoKeys) {
  const std::string entry = "<key>PlumoScheme</key><string>custom</string>";
  writeFile(bundle / "Info.plist", binaryForm("<plist version=\"1.0\"><dict>" + entry + "</dict></plist>"));
  EXPECT_EQ(controller()->bundle().scheme(), "custom") << "the binary form";
  const auto nested = [&](int depth) {
    return "<plist version=\"1.0\"><dict>" + entry + "<key>deep</key>" + repeated("<array>", depth) +
           repeated("</array>", depth) + "</dict></plist>";
  };
  writeFile(bundle / "Info.plist", nested(PropertyList::depthLimit - 1));
  EXPECT_EQ(controller()->bundle().scheme(), "custom") << "nested as deeply as allowed";
  writeFile(bundle / "Info.plist", "<plist version=\"1.0\"><dict>" + entry + "<!--" + repeated("<array>", 100) +
                                       "--><key>d</key><array><string>&lt;array&gt;</string></array></dict></plist>");
  EXPECT_EQ(controller()->bundle().scheme(), "custom") << "no array in a comment or in a string";

  for (const std::string& contents :
       {nested(PropertyList::depthLimit), "<plist version=\"1.0\">" + repeated("<array>", 1'000'000),
        "<plist version=\"1.0\"><dict>" + entry + "<!--" + repeated("</array>", 100) + "-->" +
            "<key>deep</key>" + repeated("<array>", 100) + repeated("</array>", 100) + "</dict></plist>",
        "<plist version=\"1.0\"><dict>" + entry + "<key>big</key><string>" +
            std::string(PropertyList::byteLimit, 'x') + "</string></dict></plist>",
        // libplist would recurse 100,000 levels deep, or copy one object 2^60 times (once per reference).
        nestedBinaryPlist(100'000, 1), nestedBinaryPlist(60, 2), std::string("bplist00")}) {
    writeFile(bundle / "Info.plist", contents);
    EXPECT_EQ(controller()->bundle().scheme(), "plumo") << contents.substr(0, 80);
  }

  fs::remove(bundle / "Info.plist");
  EXPECT_EQ(controller()->bundle().scheme(), "plumo") << "missing";
  fs::create_directory(bundle / "Info.plist");
  EXPECT_EQ(controller()->bundle().scheme(), "plumo") << "a folder";
  fs::remove(bundle / "Info.plist");
  ASSERT_EQ(::mkfifo((bundle / "Info.plist").c_str(), 0600), 0);
  EXPECT_EQ(controller()->bundle().scheme(), "plumo") << "a FIFO nobody writes";
}

// The symbol of the first type identifier that names a kind of content.
TEST_F(ShareViewControllerTest, TheSourceSymbolFollowsTheFirstKnownKind) {
  const auto symbolFor = [&](std::vector<std::vector<std::string>> attachments) {
    std::vector<std::shared_ptr<ItemProvider>> providers;
    for (auto& types : attachments) providers.push_back(std::make_shared<TestItemProvider>(std::move(types)));
    context.items = {itemWith({}), itemWith(providers)};
    return controller()->sourceSymbol();
  };
  const auto symbol = ShareViewController::symbol;
  EXPECT_EQ(ShareViewController(bundle, nullptr, workspace).sourceSymbol(), symbol("doc")) << "no context";
  EXPECT_EQ(symbolFor({}), symbol("doc"));
  EXPECT_EQ(symbolFor({{"public.jpeg", "public.data"}}), symbol("photo"));
  EXPECT_EQ(symbolFor({{"public.file-url", "public.jpeg"}}), symbol("link"));
  EXPECT_EQ(symbolFor({{"com.example.unknown"}, {"com.adobe.pdf"}}), symbol("doc.richtext"));
  EXPECT_EQ(symbolFor({{"public.directory"}, {"public.movie"}}), symbol("film")) << "a directory is no row";
  EXPECT_EQ(symbolFor({{"public.mpeg-4"}}), symbol("film"));
  EXPECT_EQ(symbolFor({{"public.video"}}), symbol("film"));
  EXPECT_EQ(symbolFor({{"public.plain-text"}}), symbol("text.alignleft"));
  EXPECT_EQ(symbolFor({{"public.folder"}}), symbol("folder"));
  EXPECT_EQ(symbolFor({{"public.zip-archive"}}), symbol("doc.zipper"));
  EXPECT_EQ(symbolFor({{"org.openxmlformats.spreadsheetml.sheet"}}), symbol("tablecells"));
  EXPECT_EQ(symbolFor({{"public.data"}}), symbol("doc"));
  EXPECT_NE(symbol("photo"), symbol("doc"));
  EXPECT_EQ(symbol("no.such.symbol"), std::nullopt);
}

}  // namespace
}  // namespace plumo
