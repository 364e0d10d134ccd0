#include "ShareImportRules.h"

#include <gtest/gtest.h>

#include "Errors.h"
#include "Refusal.h"
#include "ShareImportFailure.h"
#include "Texts.h"

namespace plumo {
namespace {

using Rules = ShareImportRules;

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

using testing::errorOf;
using testing::repeated;

TEST(ShareImportRulesTest, TextComesFromStringsAttributedStringsAndSmallUtf8Data) {
  EXPECT_EQ(Rules::text(std::string("  padded \n")), "  padded \n");
  EXPECT_EQ(Rules::text(AttributedString{"styled"}), "styled");
  EXPECT_EQ(Rules::text(Data{}), "");
  EXPECT_EQ(Rules::text(bytes("gr\xc3\xbc\xc3\x9f")), "gr\xc3\xbc\xc3\x9f");
  EXPECT_EQ(Rules::text(Data(Rules::textDataLimit, 'a')).size(), Rules::textDataLimit);

  for (const Item& refused : {Item(Data(Rules::textDataLimit + 1, 'a')), Item(bytes("bad \xc3\x28")),
                              Item(bytes("\xed\xa0\x80")), Item(bytes("\xc0\xaf")),
                              Item(*Url::parse("https://example.com"))}) {
    EXPECT_EQ(errorOf([&] { Rules::text(refused); }), ShareImportFailure::unsupported);
  }
}

// Links as people paste them, each with the form it is shared in: a valid URI as it came,
// even where a browser would rewrite it, any other link as a browser's URL parser (Node
// 20's new URL()) reads it, with what a URI may not hold percent-encoded.
TEST(ShareImportRulesTest, PastedLinksAreKeptWhenValidAndOtherwiseReadAsABrowserReadsThem) {
  const std::vector<std::pair<std::string, std::string>> links = {
      // Valid URIs, kept where a browser writes http://example.com/, https://example.com/x,
      // http://[2001:db8::1]/x and https://example.com/b.
      {"HTTP://Example.com", "HTTP://Example.com"},
      {"https://example.com:/x", "https://example.com:/x"},
      {"http://[2001:DB8::1]/x", "http://[2001:DB8::1]/x"},
      {" \n https://example.com/a/./../b\u200b", "https://example.com/a/./../b"},
      {"https://en.wikipedia.org/wiki/Mercury_(planet)", "https://en.wikipedia.org/wiki/Mercury_(planet)"},
      // Converted.
      {"https://example.com/a b", "https://example.com/a%20b"},
      {"https://example.com/\u00e4?x=\u00fc#frag", "https://example.com/%C3%A4?x=%C3%BC#frag"},
      {"https://example.com/?q=a|b&c=%zz", "https://example.com/?q=a%7Cb&c=%25zz"},  // a browser keeps "|" and "%zz"
      {"https://b\u00fccher.de", "https://xn--bcher-kva.de/"},
      {"HTTP://B\u00fccher.DE:80/", "http://xn--bcher-kva.de/"},
      {"https://b\u00fccher.de:/x", "https://xn--bcher-kva.de/x"},
      {"https://evil.com\\@good.com/", "https://evil.com/@good.com/"},
      {"https://example.com/a\\..\\b", "https://example.com/b"},
      {"https://example.com\\docs", "https://example.com/docs"},
      {"https://a@b@example.com/", "https://a%40b@example.com/"},
      {"https://user:@example.com/ x", "https://user@example.com/%20x"},
      {"https://\u0645\u06cc\u200c\u062e\u0648\u0627\u0647\u0645.ir/", "https://xn--mgbn2ecje63gr19l.ir/"},
      {"https://\u4f8b\u3048./x", "https://xn--r8jz45g./x"},
      {"http://0x7F.1/\u00e4", "http://127.0.0.1/%C3%A4"},
      {"https://[2001:DB8:0:0:0:0:0:1]/\u00e4", "https://[2001:db8::1]/%C3%A4"},
  };
  for (const auto& [pasted, shared] : links) {
    EXPECT_EQ(Rules::link(pasted).absoluteString(), shared) << pasted;
    EXPECT_EQ(Rules::link(shared).absoluteString(), shared) << "a shared form stays as it is";
  }
}

std::string refusalOf(const std::string& pasted) {
  try {
    Rules::link(pasted);
  } catch (const Refusal& refused) {
    EXPECT_EQ(refused.code(), ShareImportFailure::unsupported);
    return refused.what();
  }
  return "taken";
}

// Browsers refuse each of these too, except where noted.
TEST(ShareImportRulesTest, ALinkThatCannotBeSharedSaysWhy) {
  const std::string otherScheme = "only http and https links can be shared";
  const std::string noHost = "the link names no host";
  const std::string badHost = "its host name is not valid";
  const std::string badAddress = "its host is not a valid IPv6 address";
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"ftp://example.com/file", otherScheme}, {"example.com", otherScheme}, {"", otherScheme},
      {" \n ", otherScheme}, {"file:///etc/hosts", otherScheme}, {"httpx://example.com", otherScheme},
      {"shttp://example.com", otherScheme}, {"htt://example.com", otherScheme}, {"httpfoo:x", otherScheme},
      {"https://a.example\nhttps://b.example", "it holds a line break or a tab"},
      {"https://", noHost}, {"https://user@:80/", noHost}, {"https://\u200b/", noHost},
      {"https:///path", noHost},     // valid, with no host; a browser opens https://path/
      {"https:example.com", noHost},  // valid, with no host; a browser opens https://example.com/
      {"https://evil.com%00.good.com/", badHost}, {std::string("https://\u00e9vil.com\0.good.com/", 28), badHost},
      {"https://EXAMPLE.com%2Fa/", badHost}, {"https://exa mple.com", badHost}, {"https://exa|mple.com", badHost},
      {"https://\uff0fexample.com/", badHost}, {"https://www.example.com\u2024evil.com/", badHost},
      {"https://a\u200db.com/", badHost}, {"https://xn--a.com/", badHost}, {"https://ex\ufffdample.com/", badHost},
      {"https://" + repeated("\u00e4", 64) + ".de/", badHost},  // libidn2 keeps DNS's label length; browsers do not
      {"http://1.2.3.256/", "its host is not a valid IPv4 address"},
      {"https://[::1/x", badAddress}, {"https://[::1]x/", badAddress}, {"https://[example]/", badAddress},
      {"https://[]/", badAddress}, {"http://[fe80::1%25eth0]/", badAddress},
      {"https://example.com:65536/", "its port is not a number from 0 to 65535"},
      {"https://example.com:8o/", "its port is not a number from 0 to 65535"},
      {"https://example.com/\xff", "it is not UTF-8 text"}};
  for (const auto& [pasted, reason] : refused) EXPECT_EQ(refusalOf(pasted), reason) << pasted;
}

// A link item may be a URL, a string or data; each is taken by the same rule.
TEST(ShareImportRulesTest, LinkItemsTakeTheSameForm) {
  EXPECT_EQ(Rules::url(*Url::parse("HTTP://Example.com/%7e"), false).absoluteString(), "HTTP://Example.com/%7e");
  EXPECT_EQ(Rules::url(std::string(" https://b\u00fccher.de\n"), false).absoluteString(), "https://xn--bcher-kva.de/");
  EXPECT_EQ(Rules::url(bytes("http://x.org"), false).absoluteString(), "http://x.org");
  EXPECT_EQ(errorOf([] { Rules::url(std::string("ftp://x.org"), false); }), ShareImportFailure::unsupported);
}

TEST(ShareImportRulesTest, FileUrlsAreTakenUnchangedAndWebLinksRefused) {
  const Url file = *Url::parse("file:///home/me/My%20File.txt");
  EXPECT_EQ(Rules::url(file, true), file);
  EXPECT_EQ(Rules::url(file, true).path(), "/home/me/My File.txt");
  EXPECT_EQ(Rules::url(std::string("FILE:///tmp/x"), true).absoluteString(), "FILE:///tmp/x");
  EXPECT_EQ(errorOf([] { Rules::url(std::string("https://example.com"), true); }), ShareImportFailure::unsupported);
  EXPECT_EQ(errorOf([] { Rules::url(std::string("file://otherhost/etc/passwd"), true); }),
            ShareImportFailure::unsupported);
}

TEST(ShareImportRulesTest, EveryLimitIsInclusive) {
  const std::string longestText(Rules::textLimit, 'x');
  EXPECT_NO_THROW(Rules::check(
      {.text = longestText, .files = Rules::fileCountLimit, .fileSize = Rules::fileLimit, .total = Rules::totalLimit}));
  EXPECT_EQ(errorOf([&] { Rules::check({.text = longestText + "x"}); }), ShareImportFailure::tooLarge);
  EXPECT_EQ(errorOf([] { Rules::check({.files = Rules::fileCountLimit + 1}); }), ShareImportFailure::tooLarge);
  EXPECT_EQ(errorOf([] { Rules::check({.fileSize = Rules::fileLimit + 1}); }), ShareImportFailure::tooLarge);
  EXPECT_EQ(errorOf([] { Rules::check({.total = Rules::totalLimit + 1}); }), ShareImportFailure::tooLarge);
}

TEST(ShareImportRulesTest, TextLengthCountsUtf16UnitsOutsideTheBasicPlaneTwice) {
  // The first scalar outside the plane, and one further on: both take two units.
  for (const char* astral : {"\xf0\x90\x80\x80", "\xf0\x9f\x98\x80"}) {  // U+10000, U+1F600
    EXPECT_NO_THROW(Rules::check({.text = repeated(astral, 65'536)}));
    EXPECT_EQ(errorOf([&] { Rules::check({.text = repeated(astral, 65'537)}); }), ShareImportFailure::tooLarge);
  }
  EXPECT_NO_THROW(Rules::check({.text = repeated("\xef\xbf\xbf", 131'072)}))
      << "U+FFFF, the last of the plane: one unit";
  EXPECT_NO_THROW(Rules::check({.text = repeated("\xc3\xa9", 131'072)})) << "two bytes, one unit";
}

TEST(ShareImportRulesTest, FileNamesFollowTheWorkedExamples) {
  EXPECT_EQ(Rules::filename("report.pdf", "x.tmp", 0), "1-report.pdf");
  EXPECT_EQ(Rules::filename("Report", "file.pdf", 2), "3-Report.pdf");
  EXPECT_EQ(Rules::filename(std::nullopt, "a/b\\c.txt", 0), "1-b_c.txt");
  EXPECT_EQ(Rules::filename("", "a/b\\c.txt", 0), "1-b_c.txt") << "an empty suggestion is no suggestion";
  EXPECT_EQ(Rules::filename("..", "photo.jpg", 0), "1-Attachment.jpg");
  EXPECT_EQ(Rules::filename(".", "note.txt", 4), "5-Attachment.txt");
  EXPECT_EQ(Rules::filename(std::nullopt, "", 0), "1-Attachment");
  EXPECT_EQ(Rules::filename("dir/", "x.bin", 9), "10-dir.bin") << "trailing slashes are ignored";
  EXPECT_EQ(Rules::filename("/", "x", 0), "1-_");
  EXPECT_EQ(Rules::filename(".profile", "x.tmp", 0), "1-.profile.tmp") << "a leading dot is no extension";
}

TEST(ShareImportRulesTest, LongNamesAreCutAtCharacterBoundariesAndKeepTheirExtension) {
  const std::string letters(295, 'a');
  EXPECT_EQ(Rules::filename(std::nullopt, letters + ".jpeg", 0), "1-" + std::string(180, 'a') + ".jpeg");
  EXPECT_EQ(Rules::filename("name", "x.abcdefghijklmnopqrstuvwxyz", 0), "1-name.abcdefghijklmnop");

  const std::string fourBytes = "\xf0\x9f\x98\x80";
  EXPECT_EQ(Rules::filename(repeated(fourBytes, 60), "x", 0), "1-" + repeated(fourBytes, 45));
  EXPECT_EQ(Rules::filename(repeated("\xc3\xa9", 100), "x", 0), "1-" + repeated("\xc3\xa9", 90));
  EXPECT_EQ(Rules::filename("a" + repeated(fourBytes, 60), "x", 0), "1-a" + repeated(fourBytes, 44))
      << "179 bytes: the next character would cross 180";
}

TEST(ShareImportRulesTest, HostileNamesBecomeOneSafeComponent) {
  EXPECT_EQ(Rules::filename("../../etc/passwd", "x", 0), "1-passwd");
  EXPECT_EQ(Rules::filename("a\\..\\..\\b", "x", 0), "1-a_.._.._b");
  EXPECT_EQ(Rules::filename("line\nbreak\ttab\x01\x7f\u0085:colon", "x", 0), "1-line_break_tab___:colon");
  EXPECT_EQ(Rules::filename("\u202etxt.exe", "x", 0), "1-_txt.exe") << "no name reads reversed";
  EXPECT_EQ(Rules::filename("a\u2066b\u200fc\u061c", "x", 0), "1-a_b_c_");
  EXPECT_EQ(Rules::filename(std::string("nul\0byte", 8), "x", 0), "1-nul_byte");
  EXPECT_EQ(Rules::filename("bad\xffutf8", "x", 0), "1-bad\xef\xbf\xbdutf8") << "malformed bytes are replaced";
  EXPECT_EQ(Rules::filename("name", "x.a\nb", 0), "1-name.a_b") << "the borrowed extension is made safe too";
}

}  // namespace
}  // namespace plumo
