#include "ContainerProbe.h"

#include <gtest/gtest.h>

#include "Files.h"
#include "TemporaryDirectory.h"

namespace plumo::bridge {
namespace {

TEST(ContainerProbeTest, TheProbeFileIsComparedAndAlwaysRemoved) {
  testing::TemporaryDirectory container;
  std::vector<std::filesystem::path> probed;
  auto recording = [&](std::optional<std::string> answer) {
    return [&probed, answer](const std::filesystem::path& file) {
      probed.push_back(file);
      EXPECT_EQ(testing::readFile(file), "PlumoShare");
      return answer;
    };
  };

  EXPECT_TRUE(ContainerProbe::succeeds(container.path()));
  EXPECT_FALSE(ContainerProbe::succeeds(container.path(), recording("PlumoShar")));
  EXPECT_FALSE(ContainerProbe::succeeds(container.path(), recording("PlumoShare\n")));
  EXPECT_FALSE(ContainerProbe::succeeds(container.path(), recording(std::nullopt)));
  EXPECT_TRUE(ContainerProbe::succeeds(container.path(), recording("PlumoShare")));

  ASSERT_EQ(probed.size(), 4u);
  EXPECT_NE(probed[0], probed[1]) << "every probe has a name of its own";
  const std::string name = probed[0].filename().string();
  EXPECT_EQ(name.rfind(".plumo-share-probe-", 0), 0u);
  EXPECT_EQ(name.size(), 19u + 36u);
  EXPECT_EQ(name.find_first_of("abcdef", 19), std::string::npos) << "upper-case UUID";
  EXPECT_TRUE(std::filesystem::is_empty(container.path()));

  // What the probe reads back shows a file that grew past the content.
  testing::writeFile(container / "longer", "PlumoShare and more");
  EXPECT_NE(ContainerProbe::readBack(container / "longer"), "PlumoShare");
}

TEST(ContainerProbeTest, AnUnwritableContainerFails) {
  testing::TemporaryDirectory temporary;
  testing::writeFile(temporary / "file", "");
  EXPECT_FALSE(ContainerProbe::succeeds(temporary / "file"));
  EXPECT_FALSE(ContainerProbe::succeeds(temporary / "missing"));
}

}  // namespace
}  // namespace plumo::bridge
