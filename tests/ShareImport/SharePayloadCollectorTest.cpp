#include "SharePayloadCollector.h"

#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Cancellation.h"
#include "ErrorDomain.h"
#include "Errors.h"
#include "Files.h"
#include "ShareImportFailure.h"
#include "ShareImportRules.h"
#include "TemporaryDirectory.h"
#include "TestItemProvider.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace plumo {
namespace {

using Answer = testing::TestItemProvider::Answer;
using testing::countEntries;
using testing::readFile;
using testing::TestItemProvider;
using testing::writeFile;

using Provider = std::shared_ptr<TestItemProvider>;

Provider provider(std::vector<std::string> types) { return std::make_shared<TestItemProvider>(std::move(types)); }

Provider textProvider(const std::string& text) {
  auto result = provider({"public.plain-text"});
  result->item = text;
  return result;
}

Provider linkProvider(const std::string& link) {
  auto result = provider({"public.url"});
  result->item = *Url::parse(link);
  return result;
}

ExtensionItem itemWith(std::vector<Provider> providers, std::optional<std::string> contentText = std::nullopt) {
  ExtensionItem item;
  if (contentText) item.attributedContentText = AttributedString{*contentText};
  item.attachments.emplace(providers.begin(), providers.end());
  return item;
}

class SharePayloadCollectorTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory container;
  ShareStagingStore store{container / "PlumoShare"};
  fs::path sources = container / "sources";

  void SetUp() override { fs::create_directories(sources); }

  Provider fileProvider(const std::string& name, const std::string& contents,
                        std::vector<std::string> types = {"public.data", "public.file-url"}) {
    writeFile(sources / name, contents);
    auto result = provider(std::move(types));
    result->item = Url::fileUrl(sources / name);
    return result;
  }

  Provider folderProvider(const fs::path& folder) {
    fs::create_directories(folder);
    auto result = provider({"public.folder", "public.file-url"});
    result->item = Url::fileUrl(folder);
    return result;
  }

  SharePayload collect(const std::vector<ExtensionItem>& items, const std::stop_token& stop = {}) {
    return SharePayloadCollector::collect(items, store, stop);
  }

  std::error_code failureOf(const std::vector<ExtensionItem>& items, const std::stop_token& stop = {}) {
    return testing::errorOf([&] { collect(items, stop); });
  }
};

TEST_F(SharePayloadCollectorTest, TextsLinksFilesAndFoldersMakeOnePayload) {
  const auto before = std::chrono::system_clock::now();
  const auto payload = collect({itemWith({fileProvider("a.txt", "alpha"), folderProvider(sources / "dir"),
                                          linkProvider("https://example.com/x")},
                                         "look"),
                                itemWith({textProvider("  ")})});
  const auto after = std::chrono::system_clock::now();

  EXPECT_EQ(payload.id, store.id());
  EXPECT_EQ(payload.message, "look\n\nhttps://example.com/x\n\n  ");
  EXPECT_THAT(payload.files, ElementsAre("1-a.txt"));
  EXPECT_THAT(payload.directories, ElementsAre((sources / "dir").string()));
  EXPECT_EQ(readFile(store.folder() / "1-a.txt"), "alpha");
  const auto millis = [](auto time) {
    return std::chrono::duration<double, std::milli>(time.time_since_epoch()).count();
  };
  EXPECT_GE(payload.createdAt, millis(before));
  EXPECT_LE(payload.createdAt, millis(after));
}

TEST_F(SharePayloadCollectorTest, TheFirstMatchingKindDecides) {
  auto folderAndFile = folderProvider(sources / "dir");
  auto imageFile = fileProvider("photo.jpg", "JPEG", {"public.jpeg", "public.file-url"});
  imageFile->name = "Holiday.jpg";
  auto imageOnly = provider({"public.text", "public.png", "com.adobe.pdf"});
  imageOnly->fileContents = "PNG";
  auto pdfFirst = provider({"com.adobe.pdf", "public.png"});  // the provider's order, not the kinds', decides
  pdfFirst->fileContents = "%PDF";
  pdfFirst->temporaryName = "offered.pdf";
  auto linkAndText = provider({"public.plain-text", "public.url"});
  linkAndText->item = *Url::parse("https://example.org");

  const auto payload = collect({itemWith({folderAndFile, imageFile, imageOnly, pdfFirst, linkAndText})});

  EXPECT_THAT(folderAndFile->requests(), ElementsAre("item:public.file-url"));
  EXPECT_THAT(imageFile->requests(), ElementsAre("item:public.file-url")) << "copied as the file it is";
  EXPECT_THAT(imageOnly->requests(), ElementsAre("file:public.png"));
  EXPECT_THAT(pdfFirst->requests(), ElementsAre("file:com.adobe.pdf"));
  EXPECT_THAT(linkAndText->requests(), ElementsAre("item:public.url"));
  EXPECT_THAT(payload.directories, ElementsAre((sources / "dir").string()));
  EXPECT_THAT(payload.files, ElementsAre("1-Holiday.jpg", "2-provider-temporary.tmp", "3-offered.pdf"));
  EXPECT_EQ(readFile(store.folder() / "2-provider-temporary.tmp"), "PNG");
  EXPECT_EQ(readFile(store.folder() / "3-offered.pdf"), "%PDF");
  EXPECT_EQ(payload.message, "https://example.org");
}

TEST_F(SharePayloadCollectorTest, AnUnknownAttachmentFailsTheWholeShare) {
  auto staged = fileProvider("a.txt", "alpha");
  auto unknown = provider({"com.example.private-type"});
  auto notData = provider({"public.item", "public.directory"});
  auto later = textProvider("never read");

  EXPECT_EQ(failureOf({itemWith({staged, unknown, later})}), ShareImportFailure::unsupported);
  EXPECT_THAT(later->requests(), IsEmpty());
  EXPECT_TRUE(fs::exists(store.folder() / "1-a.txt")) << "left for the store to discard";
  EXPECT_EQ(failureOf({itemWith({notData})}), ShareImportFailure::unsupported);
}

TEST_F(SharePayloadCollectorTest, AttachmentCapIsCheckedBeforeAnythingIsLoaded) {
  std::vector<Provider> first(20);
  std::vector<Provider> second(13);
  for (auto& each : first) each = textProvider("t");
  for (auto& each : second) each = textProvider("t");

  EXPECT_EQ(failureOf({itemWith(first, "content"), itemWith(second)}), ShareImportFailure::tooLarge);
  EXPECT_THAT(first.front()->requests(), IsEmpty());

  second.pop_back();
  EXPECT_EQ(collect({itemWith(first), itemWith(second)}).message.size(), 32u * 3 - 2);
}

TEST_F(SharePayloadCollectorTest, FileAndFolderCountsAreBounded) {
  std::vector<Provider> files;
  for (int index = 0; index < 11; ++index) files.push_back(fileProvider("f" + std::to_string(index), "x"));
  EXPECT_EQ(failureOf({itemWith(files)}), ShareImportFailure::tooLarge);
  EXPECT_EQ(countEntries(store.folder()), 10u);

  std::vector<Provider> folders;
  for (int index = 0; index < 10; ++index) folders.push_back(folderProvider(sources / std::to_string(index)));
  folders.insert(folders.begin() + 1, folderProvider(sources / "0"));
  EXPECT_EQ(collect({itemWith(folders)}).directories.size(), 10u) << "a repeated folder is listed once";
  folders.push_back(folderProvider(sources / "0"));
  EXPECT_EQ(failureOf({itemWith(folders)}), ShareImportFailure::tooLarge) << "even a repeat, once ten are listed";
}

TEST_F(SharePayloadCollectorTest, FoldersMustBeRealAbsoluteFolders) {
  fs::create_directories(sources / "real");
  fs::create_directory_symlink(sources / "real", sources / "link");
  auto viaLink = provider({"public.folder"});
  viaLink->item = Url::fileUrl(sources / "link");
  auto relative = provider({"public.folder"});
  relative->item = std::string("file:relative/dir");
  auto missing = provider({"public.folder"});
  missing->item = Url::fileUrl(sources / "missing");

  EXPECT_EQ(failureOf({itemWith({viaLink})}), ShareImportFailure::unsupported);
  EXPECT_EQ(failureOf({itemWith({relative})}), ShareImportFailure::unsupported);
  EXPECT_EQ(failureOf({itemWith({missing})}), posixError(ENOENT));
}

TEST_F(SharePayloadCollectorTest, TheMessageLimitCountsSeparators) {
  const std::string half(65'535, 'x');
  EXPECT_EQ(collect({itemWith({textProvider(half), textProvider(half)})}).message.size(), 131'072u);
  auto afterOverflow = textProvider("late");
  EXPECT_EQ(failureOf({itemWith({textProvider(half), textProvider(half + "x"), afterOverflow})}),
            ShareImportFailure::tooLarge);
  EXPECT_THAT(afterOverflow->requests(), IsEmpty());
}

TEST_F(SharePayloadCollectorTest, ContentTextIsNotRepeatedByItsOwnAttachment) {
  EXPECT_EQ(collect({itemWith({linkProvider("https://a.example/")}, "https://a.example/")}).message,
            "https://a.example/");
  EXPECT_EQ(collect({itemWith({linkProvider("https://a.example/")}, "https://a.example")}).message,
            "https://a.example\n\nhttps://a.example/");
  EXPECT_EQ(collect({itemWith({linkProvider("http://example.com")}, "HTTP://Example.com")}).message,
            "HTTP://Example.com\n\nhttp://example.com");
  EXPECT_EQ(collect({itemWith({linkProvider("https://example.com/a")}, " https://example.com/a")}).message,
            " https://example.com/a\n\nhttps://example.com/a");
  // A link as pasted: the content text is compared with the form it is shared in.
  auto pasted = provider({"public.url"});
  pasted->item = std::string(" https://b\u00fccher.de/a b\n");
  EXPECT_EQ(collect({itemWith({pasted}, "https://xn--bcher-kva.de/a%20b")}).message, "https://xn--bcher-kva.de/a%20b");
  EXPECT_EQ(collect({itemWith({textProvider("Caf\u00e9")}, "Cafe\u0301")}).message, "Cafe\u0301")
      << "canonically equal texts are the same text";
  EXPECT_EQ(collect({itemWith({textProvider("same")}, "same"), itemWith({textProvider("same")})}).message,
            "same\n\nsame");
  EXPECT_EQ(collect({itemWith({textProvider("")}, "text")}).message, "text\n\n");
}

TEST_F(SharePayloadCollectorTest, NothingUsableIsEmpty) {
  EXPECT_EQ(failureOf({}), ShareImportFailure::empty);
  EXPECT_EQ(failureOf({ExtensionItem{}, itemWith({}, "")}), ShareImportFailure::empty);
  EXPECT_EQ(failureOf({itemWith({textProvider("")})}), ShareImportFailure::empty);
}

TEST_F(SharePayloadCollectorTest, DataIsTheFallbackWhenTheFileCannotBeHad) {
  auto noFile = provider({"public.png"});
  noFile->fileError = std::error_code(1, itemProviderErrorDomain());
  noFile->data = Data{'P', 'N', 'G'};
  auto unknownType = provider({"public.data", "org.example.custom"});
  unknownType->data = Data{};
  auto named = provider({"com.adobe.pdf"});
  named->name = "Invoice";
  named->data = Data{'%'};

  const auto payload = collect({itemWith({noFile, unknownType, named})});
  EXPECT_THAT(payload.files, ElementsAre("1-Attachment.png", "2-Attachment.bin", "3-Invoice.pdf"));
  EXPECT_THAT(noFile->requests(), ElementsAre("file:public.png", "data:public.png"));
  EXPECT_EQ(readFile(store.folder() / "1-Attachment.png"), "PNG");
}

TEST_F(SharePayloadCollectorTest, ARepresentationFailsWithTheRightError) {
  auto tooLarge = provider({"public.jpeg"});
  tooLarge->fileContents = std::string(ShareImportRules::fileLimit + 1, 'x');
  tooLarge->data = Data{1};
  EXPECT_EQ(failureOf({itemWith({tooLarge})}), ShareImportFailure::tooLarge);
  EXPECT_THAT(tooLarge->requests(), ElementsAre("file:public.jpeg")) << "a limit is never retried as data";

  auto nothing = provider({"public.jpeg"});
  EXPECT_EQ(failureOf({itemWith({nothing})}), ShareImportFailure::unsupported);

  auto dataError = provider({"public.jpeg"});
  dataError->fileError = std::error_code(1, itemProviderErrorDomain());
  dataError->dataError = std::error_code(2, itemProviderErrorDomain());
  EXPECT_EQ(failureOf({itemWith({dataError})}), std::error_code(2, itemProviderErrorDomain()));

  auto largeData = provider({"public.jpeg"});
  largeData->data = Data(ShareImportRules::fileLimit + 1);
  EXPECT_EQ(failureOf({itemWith({largeData})}), ShareImportFailure::tooLarge);
  EXPECT_EQ(countEntries(store.folder()), 0u);
}

TEST_F(SharePayloadCollectorTest, LoadErrorsPassThroughUnchanged) {
  auto failing = provider({"public.url"});
  failing->itemError = std::error_code(7, itemProviderErrorDomain());
  EXPECT_EQ(failureOf({itemWith({failing})}), std::error_code(7, itemProviderErrorDomain()));

  auto wrongKind = provider({"public.url"});
  wrongKind->item = Data{1, 2};
  EXPECT_EQ(failureOf({itemWith({wrongKind})}), ShareImportFailure::unsupported);

  auto symlinkFile = fileProvider("target", "x");
  fs::create_symlink(sources / "target", sources / "link");
  symlinkFile->item = Url::fileUrl(sources / "link");
  EXPECT_EQ(failureOf({itemWith({symlinkFile})}), posixError(ELOOP));
}

TEST_F(SharePayloadCollectorTest, AProviderThatNeverAnswersCannotHangTheShare) {
  auto dropping = textProvider("x");
  dropping->answer = Answer::dropHandler;
  EXPECT_EQ(failureOf({itemWith({dropping})}), ShareImportFailure::unsupported);

  auto silent = textProvider("x");
  silent->answer = Answer::never;
  std::stop_source stop;
  std::jthread dismiss([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.request_stop();
  });
  EXPECT_TRUE(isCancellation(failureOf({itemWith({silent})}, stop.get_token())));
}

// A handler that answers after the collection has stopped must not write into
// a staging folder that its owner is about to remove.
TEST_F(SharePayloadCollectorTest, AHandlerThatAnswersAfterTheStopWritesNothing) {
  auto late = provider({"public.png"});
  late->fileContents = "PNG";
  late->answer = Answer::whenReleased;
  std::stop_source stop;
  std::error_code failure;
  std::thread collection([&] { failure = failureOf({itemWith({late})}, stop.get_token()); });
  while (late->requests().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  stop.request_stop();
  collection.join();
  EXPECT_TRUE(isCancellation(failure));

  late->release();
  late.reset();  // waits for its answer
  EXPECT_EQ(countEntries(store.folder()), 0u);
}

TEST_F(SharePayloadCollectorTest, TextAndFolderPathsMustBeUtf8ForTheManifest) {
  const std::string latin1 = "Caf\xe9";
  auto laterText = textProvider("never read");
  EXPECT_EQ(failureOf({itemWith({laterText}, latin1)}), ShareImportFailure::unsupported);
  EXPECT_THAT(laterText->requests(), IsEmpty()) << "refused when appended, before anything else is loaded";
  EXPECT_EQ(failureOf({itemWith({textProvider("ok"), textProvider(latin1)})}), ShareImportFailure::unsupported);
  EXPECT_EQ(failureOf({itemWith({folderProvider(sources / latin1)})}), ShareImportFailure::unsupported);
  EXPECT_THAT(collect({itemWith({folderProvider(sources / "Caf\u00e9")}, "Caf\u00e9")}).directories,
              ElementsAre((sources / "Caf\u00e9").string()));
}

TEST_F(SharePayloadCollectorTest, CancellationIsSeenBeforeEachAttachment) {
  std::stop_source stop;
  stop.request_stop();
  auto text = textProvider("x");
  EXPECT_TRUE(isCancellation(failureOf({itemWith({text})}, stop.get_token())));
  EXPECT_THAT(text->requests(), IsEmpty());
}

}  // namespace
}  // namespace plumo
