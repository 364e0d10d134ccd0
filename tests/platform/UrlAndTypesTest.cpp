#include <gtest/gtest.h>

#include "UTType.h"
#include "Url.h"
#include "Utf8.h"

namespace plumo {
namespace {

TEST(UrlTest, PathsArePercentDecodedWithoutTrailingSlash) {
  EXPECT_EQ(Url::parse("file:///tmp/a%20b/")->path(), "/tmp/a b");
  EXPECT_EQ(Url::parse("file:///")->path(), "/");
  EXPECT_EQ(Url::parse("file:/etc/hosts")->path(), "/etc/hosts");
  EXPECT_EQ(Url::parse("file:///tmp/a+b.txt")->path(), "/tmp/a+b.txt") << "a plus is no space";
  EXPECT_EQ(Url::parse("https://example.com")->path(), "/");
  EXPECT_EQ(Url::parse("https://example.com/a/b.pdf?x=1")->lastPathComponent(), "b.pdf");
  EXPECT_EQ(Url::parse("relative/dir")->path(), "relative/dir");
  EXPECT_EQ(Url::parse("example.com")->scheme(), "");
  EXPECT_TRUE(Url::parse("FILE:///x")->isFileUrl());
  EXPECT_TRUE(Url::parse("file://LocalHost/x")->isFileUrl());
  EXPECT_FALSE(Url::parse("file://otherhost/etc/passwd")->isFileUrl()) << "another computer's file is none of ours";
  for (const char* refused : {"", "http://a b", "http://[::1", "%zz", "file:///tmp/a%00b"}) {
    EXPECT_FALSE(Url::parse(refused)) << refused;
  }
}

TEST(UrlTest, FileUrlsOfAnyPathReadBackTheSamePath) {
  for (const char* path : {"/plain", "/with space/and%percent", "/h\xc3\xa9/#?;[]", "/trailing\\back"}) {
    const Url url = Url::fileUrl(path);
    EXPECT_TRUE(url.isFileUrl());
    EXPECT_EQ(url.path(), path);
    EXPECT_EQ(Url::parse(url.absoluteString()), url);
  }
}

TEST(UTTypeTest, ConformanceIsTransitiveAndReflexive) {
  const auto jpeg = UTType::withIdentifier("public.jpeg");
  ASSERT_TRUE(jpeg);
  EXPECT_TRUE(jpeg->conformsTo(*jpeg));
  EXPECT_TRUE(jpeg->conformsTo(UTType::image));
  EXPECT_TRUE(jpeg->conformsTo(UTType::data));
  EXPECT_TRUE(jpeg->conformsTo(UTType::item));
  EXPECT_FALSE(jpeg->conformsTo(UTType::pdf));
  EXPECT_TRUE(UTType::fileURL.conformsTo(UTType::url));
  EXPECT_TRUE(UTType::folder.conformsTo(UTType::directory));
  EXPECT_FALSE(UTType::folder.conformsTo(UTType::data));
  EXPECT_TRUE(UTType::video.conformsTo(UTType::movie));
  EXPECT_TRUE(UTType::withIdentifier("org.openxmlformats.spreadsheetml.sheet")->conformsTo(UTType::spreadsheet));
  EXPECT_TRUE(UTType::withIdentifier("PUBLIC.PNG")) << "identifiers are compared without case";
  EXPECT_FALSE(UTType::withIdentifier("com.example.unknown"));
  EXPECT_FALSE(UTType::identifierConformsTo("com.example.unknown", UTType::item));
}

TEST(UTTypeTest, MimeTypesAndExtensions) {
  EXPECT_EQ(UTType::withMimeType("application/pdf"), UTType::pdf);
  EXPECT_EQ(UTType::withMimeType("text/plain; charset=utf-8"), UTType::plainText);
  EXPECT_EQ(UTType::withMimeType("image/x-unknown"), UTType::image);
  EXPECT_EQ(UTType::withMimeType("inode/directory"), UTType::folder);
  EXPECT_FALSE(UTType::withMimeType("chemical/x-pdb"));
  EXPECT_EQ(UTType::withIdentifier("public.jpeg")->preferredFilenameExtension(), "jpeg");
  EXPECT_EQ(UTType::data.preferredFilenameExtension(), std::nullopt);
}

// Every bidirectional formatting character (and every control) is shown escaped; its
// neighbours, which only look alike, are not.
TEST(Utf8Test, EveryBidirectionalFormattingCharacterIsEscapedAndNoOther) {
  for (const char32_t scalar : {0x061CU, 0x200EU, 0x200FU, 0x202AU, 0x202BU, 0x202CU, 0x202DU, 0x202EU, 0x2066U,
                                0x2067U, 0x2068U, 0x2069U, 0x0085U, 0x009FU, 0x007FU}) {
    EXPECT_TRUE(Utf8::isControlOrBidiFormat(scalar)) << std::hex << static_cast<unsigned>(scalar);
    EXPECT_EQ(Utf8::escaped(Utf8::encode(scalar)).substr(0, 2), "\\u") << std::hex << static_cast<unsigned>(scalar);
  }
  for (const char32_t scalar : {0x061BU, 0x200DU, 0x2029U, 0x202FU, 0x2065U, 0x206AU, 0x00A0U}) {
    EXPECT_FALSE(Utf8::isControlOrBidiFormat(scalar)) << std::hex << static_cast<unsigned>(scalar);
  }
}

TEST(Utf8Test, ValidationFollowsRfc3629) {
  EXPECT_TRUE(Utf8::isValid("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
  for (const char* invalid : {"\x80", "\xc3", "\xc0\x80", "\xe0\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff"}) {
    EXPECT_FALSE(Utf8::isValid(invalid)) << invalid;
  }
  EXPECT_EQ(Utf8::trimmed("\x01 \u00a0\u2028x y\u200b\n"), "x y");
  EXPECT_EQ(Utf8::trimmed(" \t "), "");
}

}  // namespace
}  // namespace plumo
