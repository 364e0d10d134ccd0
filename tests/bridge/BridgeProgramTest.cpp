#include <cstring>
#include <elf.h>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BuildIdentity.h"
#include "Files.h"
#include "Pipe.h"
#include "PropertyList.h"
#include "RunningProgram.h"
#include "TemporaryDirectory.h"
#include "Texts.h"

namespace fs = std::filesystem;

namespace plumo {
namespace {

using testing::repeated;
using testing::runProgram;
using testing::writeFile;

constexpr const char* unavailableText =
    "Share App Group unavailable; verify Developer ID signing and team entitlements.\n";
const std::string hostId = PLUMO_HOST_BUNDLE_ID;
const std::string team = "ABCDE12345";

// Makes the header of the program's signature section claim `size` bytes, wherever they would lie.
void claimSignatureSize(const fs::path& program, std::uint64_t size) {
  std::string bytes = testing::readFile(program);
  Elf64_Ehdr header;
  std::memcpy(&header, bytes.data(), sizeof header);
  const auto sectionAt = [&](std::size_t index) { return bytes.data() + header.e_shoff + index * sizeof(Elf64_Shdr); };
  Elf64_Shdr names;
  std::memcpy(&names, sectionAt(header.e_shstrndx), sizeof names);
  for (std::size_t index = 0; index < header.e_shnum; ++index) {
    Elf64_Shdr section;
    std::memcpy(&section, sectionAt(index), sizeof section);
    if (std::strcmp(bytes.data() + names.sh_offset + section.sh_name, ".plumo_codesign") != 0) continue;
    section.sh_size = size;
    std::memcpy(sectionAt(index), &section, sizeof section);
    return writeFile(program, bytes);
  }
  FAIL() << "no signature section in " << program;
}

std::string entitlements(const std::vector<std::string>& groups) {
  std::string xml = "<plist version=\"1.0\"><dict><key>com.apple.security.application-groups</key><array>";
  for (const auto& group : groups) xml += "<string>" + group + "</string>";
  return xml + "</array></dict></plist>";
}

// Each test signs its own copy of the built program, as a packager would.
class BridgeProgramTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory temporary;
  fs::path program = temporary / "plumo-share-bridge";
  fs::path dataHome = temporary / "data";

  void SetUp() override { fs::copy_file(PLUMO_BRIDGE_PROGRAM, program); }

  void sign(const std::string& teamId, const std::string& entitlementsXml) {
    writeFile(temporary / "entitlements.plist", entitlementsXml);
    const auto result = runProgram({"/bin/sh", "-c", std::string(PLUMO_CODESIGN_SCRIPT) + " \"$0\" \"$1\" \"$2\"",
                                    teamId, (temporary / "entitlements.plist").string(), program.string()});
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
  }

  // A signature the signing script would refuse to make, put in place by hand.
  void forgeSignature(const std::string& teamId, const std::string& entitlementsXml) {
    const std::string body = entitlementsXml.substr(entitlementsXml.find("<dict"));
    writeFile(temporary / "signature.plist", "<plist version=\"1.0\"><dict><key>TeamIdentifier</key><string>" + teamId +
                                                 "</string><key>Entitlements</key>" +
                                                 body.substr(0, body.rfind("</plist>")) + "</dict></plist>");
    const auto result = runProgram({"/usr/bin/objcopy",
                                    "--update-section", ".plumo_codesign=" + (temporary / "signature.plist").string(),
                                    program.string()});
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
  }

  testing::ProgramResult signing(const std::string& teamId, const std::string& entitlementsText) {
    writeFile(temporary / "entitlements.plist", entitlementsText);
    return runProgram({PLUMO_CODESIGN_SCRIPT, teamId, (temporary / "entitlements.plist").string(), program.string()});
  }

  testing::ProgramResult probe(std::vector<std::string> arguments, const std::function<void()>& beforeExec = {}) {
    arguments.insert(arguments.begin(), program.string());
    return runProgram(arguments, {{"XDG_DATA_HOME", dataHome.string()}}, "", beforeExec);
  }

  void expectUnavailable(const std::vector<std::string>& arguments) {
    const auto result = probe(arguments);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardError, unavailableText);
    EXPECT_EQ(result.standardOutput, "");
  }

  fs::path containerOf(const std::string& id) { return dataHome / "group-containers" / (team + "." + id); }

  void expectProbedSuccessfully(const std::string& id) {
    const auto result = probe({"container", id});
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, containerOf(id).string() + "\n");
    EXPECT_EQ(result.standardError, "");
    ASSERT_TRUE(fs::is_directory(containerOf(id)));
    for (const auto& entry : fs::directory_iterator(containerOf(id))) {
      EXPECT_NE(entry.path().filename().string().rfind(".plumo-share-probe-", 0), 0u) << entry.path();
    }
  }
};

TEST_F(BridgeProgramTest, ProvesTheContainerOfTheHostAndOfItsDevelopmentBuild) {
  sign(team, entitlements({team + "." + hostId}));
  expectProbedSuccessfully(hostId);
  writeFile(containerOf(hostId) / "kept", "x");
  expectProbedSuccessfully(hostId);  // an existing container is used as it is
  EXPECT_TRUE(fs::exists(containerOf(hostId) / "kept"));

  sign(team, entitlements({team + "." + hostId + ".dev"}));  // signing again replaces the signature
  expectProbedSuccessfully(hostId + ".dev");
}

TEST_F(BridgeProgramTest, AnyOtherCommandLineIsRefused) {
  sign(team, entitlements({team + "." + hostId}));
  expectUnavailable({});
  expectUnavailable({"container"});
  expectUnavailable({"--version"});  // no options: the version is plumo-share's
  expectUnavailable({"container", hostId, "extra"});
  expectUnavailable({"Container", hostId});
  expectUnavailable({"container", hostId + ".share"});
  expectUnavailable({"container", ""});
  EXPECT_FALSE(fs::exists(dataHome));
}

TEST_F(BridgeProgramTest, TheTeamMustBeTenUpperCaseLettersOrDigits) {
  for (const std::string badTeam : {"ABCDE1234", "ABCDE123456", "ABCDe12345", "ABCDE 1234", ""}) {
    forgeSignature(badTeam, entitlements({badTeam + "." + hostId}));
    expectUnavailable({"container", hostId});
  }
  EXPECT_FALSE(fs::exists(dataHome));
}

TEST_F(BridgeProgramTest, TheEntitlementsMustGrantExactlyTheOneGroup) {
  const std::string group = team + "." + hostId;
  for (const std::string& entitled :
       {entitlements({group, team + ".other"}), entitlements({team + ".other", group}), entitlements({}),
        entitlements({team + ".other"}), std::string("<plist version=\"1.0\"><dict/></plist>"),
        "<plist version=\"1.0\"><dict><key>com.apple.security.application-groups</key><string>" + group +
            "</string></dict></plist>"}) {
    forgeSignature(team, entitled);
    expectUnavailable({"container", hostId});
  }
  EXPECT_FALSE(fs::exists(dataHome));
}

TEST_F(BridgeProgramTest, AnUnsignedProgramIsRefused) {
  ASSERT_EQ(runProgram({"/usr/bin/objcopy", "--remove-section", ".plumo_codesign", program.string()}).exitStatus, 0);
  expectUnavailable({"container", hostId});
}

// A signature is bytes anybody can put into the section: one that is too
// large or nested too deeply is refused before it is parsed.
TEST_F(BridgeProgramTest, ASignatureThatIsTooDeepOrTooLargeIsRefused) {
  const auto embed = [&](const std::string& signature) {
    writeFile(temporary / "signature.plist", signature);
    const auto result = runProgram({"/usr/bin/objcopy", "--update-section",
                                    ".plumo_codesign=" + (temporary / "signature.plist").string(), program.string()});
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
  };
  // The signature scripts/codesign writes, with `extra` beside its two keys; the root dictionary is level 1.
  const auto signedWith = [&](const std::string& extra) {
    return "<plist version=\"1.0\"><dict><key>TeamIdentifier</key><string>" + team +
           "</string><key>Entitlements</key><dict><key>com.apple.security.application-groups</key><array><string>" +
           team + "." + hostId + "</string></array></dict>" + extra + "</dict></plist>";
  };
  const auto nested = [&](int levels) {
    return "<key>deep</key>" + repeated("<array>", levels) + repeated("</array>", levels);
  };
  sign(team, entitlements({team + "." + hostId}));

  embed(signedWith(""));
  expectProbedSuccessfully(hostId);
  embed(signedWith(nested(PropertyList::depthLimit - 1)));
  expectProbedSuccessfully(hostId);

  embed(signedWith(nested(PropertyList::depthLimit)));
  expectUnavailable({"container", hostId});
  embed(signedWith("<key>large</key><string>" + std::string(PropertyList::byteLimit, 'x') + "</string>"));
  expectUnavailable({"container", hostId});
  embed("<plist version=\"1.0\">" + repeated("<array>", 1'000'000));
  expectUnavailable({"container", hostId});

  // A section header is bytes too: one that claims far more than the file holds is read as no signature.
  sign(team, entitlements({team + "." + hostId}));
  claimSignatureSize(program, std::uint64_t{1} << 62);
  expectUnavailable({"container", hostId});
}

TEST_F(BridgeProgramTest, AContainerThatCannotBeCreatedIsRefused) {
  sign(team, entitlements({team + "." + hostId}));
  fs::create_directories(dataHome);
  writeFile(dataHome / "group-containers", "a file where a folder belongs");
  expectUnavailable({"container", hostId});

  fs::remove(dataHome / "group-containers");
  fs::create_directories(containerOf(hostId).parent_path());
  writeFile(containerOf(hostId), "the container itself is a file");
  expectUnavailable({"container", hostId});
}

// A path that never reached the caller is no success: the fixed line, status 1, and no SIGPIPE.
TEST_F(BridgeProgramTest, AClosedPipeOnStandardOutputIsRefused) {
  sign(team, entitlements({team + "." + hostId}));
  testing::Pipe output;
  output.closeEnd(0);
  const auto result = probe({"container", hostId}, [&] { ::dup2(output.ends[1], STDOUT_FILENO); });
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.standardError, unavailableText);

  const auto closedOutput = probe({"container", hostId}, [] { ::close(STDOUT_FILENO); });
  EXPECT_EQ(closedOutput.exitStatus, 0);  // /dev/null takes what a closed descriptor would not
  EXPECT_EQ(closedOutput.standardError, "");
}

// What the probe would refuse is refused when signing, on standard error, and nothing is signed.
TEST_F(BridgeProgramTest, TheSigningScriptRefusesWhatTheProbeWouldRefuse) {
  ASSERT_EQ(runProgram({"/usr/bin/objcopy", "--remove-section", ".plumo_codesign", program.string()}).exitStatus, 0);
  const std::string group = team + "." + hostId;
  for (const auto& [teamId, entitled] : std::vector<std::pair<std::string, std::string>>{
           {"abcde12345", entitlements({"abcde12345." + hostId})},
           {"ABCDE1234", entitlements({"ABCDE1234." + hostId})},
           {"ZYXWV98765", entitlements({group})},
           {team, entitlements({group, "ZYXWV98765." + hostId})},
           {team, entitlements({})},
           {team, "<plist version=\"1.0\"><dict/></plist>"},
           {team, "<plist version=\"1.0\"><array/></plist>"},
           {team, "garbage"},
       }) {
    const auto result = signing(teamId, entitled);
    EXPECT_NE(result.exitStatus, 0) << teamId << " " << entitled;
    EXPECT_THAT(result.standardError, ::testing::MatchesRegex("codesign: [^\n]*\n")) << entitled;
    EXPECT_EQ(result.standardOutput, "");
  }
  expectUnavailable({"container", hostId});  // still unsigned

  const auto signedAtLast = signing(team, entitlements({group}));
  EXPECT_EQ(signedAtLast.exitStatus, 0) << signedAtLast.standardError;
  expectProbedSuccessfully(hostId);
}

}  // namespace
}  // namespace plumo
