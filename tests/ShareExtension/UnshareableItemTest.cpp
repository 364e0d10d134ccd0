// An item that cannot be shared is told where the user is looking: the card
// shows the matching status text and waits for Dismiss; the run ends as the
// usage error it is, with nothing staged.
#include <gtest/gtest.h>

#include "CommandLine.h"
#include "ExtensionHost.h"
#include "Files.h"
#include "Localization.h"
#include "MainThread.h"
#include "RecordingWorkspace.h"
#include "TemporaryDirectory.h"

namespace plumo {
namespace {

// A card that is shown nowhere: it records its title, and the user dismisses it once it is up.
class DismissedCard : public CardWindow {
 public:
  std::string title;

  void show(const std::string& shownTitle, const std::shared_ptr<View>&, const std::shared_ptr<Button>& dismiss,
            std::function<void()>) override {
    title = shownTitle;
    MainThread::post([dismiss] { dismiss->performClick(); });
  }
  std::optional<ClipboardContents> readClipboard(std::size_t, int) override { return std::nullopt; }
};

std::string statusKeyOf(const std::string& item) {
  try {
    CommandLine::parse({"plumo-share", item}).extensionItem();
  } catch (const CommandLine::UnshareableItem& refused) {
    return refused.statusKey;
  }
  return "shareable";
}

TEST(UnshareableItemTest, EachKindHasItsStatusText) {
  testing::TemporaryDirectory temporary;
  EXPECT_EQ(statusKeyOf((temporary / "missing.txt").string()), "itemMissing");
  EXPECT_EQ(statusKeyOf("file://" + (temporary / "missing.txt").string()), "itemMissing");
  for (const char* unsupported : {"file://otherhost/etc/passwd", "nosuchscheme:///x", "ftp://exa mple.com"}) {
    EXPECT_EQ(statusKeyOf(unsupported), "error.unsupported") << unsupported;
  }
  EXPECT_EQ(statusKeyOf(temporary.path().string()), "shareable");
}

TEST(UnshareableItemTest, TheCardShowsTheTextUntilDismissedAndNothingIsStaged) {
  testing::TemporaryDirectory temporary;
  testing::writeFile(temporary / "Info.plist", "<plist version=\"1.0\"><dict/></plist>");
  testing::RecordingWorkspace workspace;
  ExtensionHost host({}, "plumo-share");
  const auto controller = std::make_shared<ShareViewController>(temporary.path(), &host, workspace);
  DismissedCard card;

  EXPECT_EQ(host.refuse(controller, card, "Plumo can’t find this item."), ExtensionHost::usageError);
  EXPECT_EQ(card.title, Localization::text("title"));
  EXPECT_EQ(controller->status->stringValue(), "Plumo can’t find this item.");
  EXPECT_EQ(controller->phase(), ShareViewController::Phase::created) << "no import started";
  EXPECT_EQ(controller->staged(), nullptr);
}

}  // namespace
}  // namespace plumo
