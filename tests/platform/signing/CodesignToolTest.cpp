// tools/codesign and scripts/throwaway-ca.sh as other test suites and
// packagers use them: a bundle they sign is served, and --verify says why not.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "Guard/Rules/GuardRules.h"
#include "Platform/Linux/Link/CallerVerdict.h"
#include "Platform/Linux/Signing/LinuxCodeSigning.h"
#include "tests/platform/signing/SigningFixture.h"

namespace vorsel::linux_platform::testing {
namespace {

struct CommandRun {
    int status = -1;
    std::string output;
};

CommandRun run(const std::string& command) {
    CommandRun result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe))
        result.output.append(buffer, got);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

class CodesignToolTest : public ::testing::Test {
  protected:
    std::string makeAuthority(const std::string& name, const std::string& team) {
        const std::string dir = folder.path() + "/" + name;
        const CommandRun made = run(quoted(VORSEL_THROWAWAY_CA) + " " + quoted(dir) +
                                    (team.empty() ? "" : " " + quoted(team)));
        EXPECT_EQ(made.status, 0) << made.output;
        return dir;
    }
    CommandRun codesign(const std::string& arguments) {
        return run(quoted(VORSEL_CODESIGN) + " " + arguments);
    }
    CommandRun signWith(const std::string& ca, const std::string& bundle) {
        return codesign("--sign --cert " + quoted(ca + "/leaf.pem") + " --key " +
                        quoted(ca + "/leaf.key") + " --identifier " + kAppId + " --entitlements " +
                        quoted(ca + "/entitlements.json") + " " + quoted(bundle));
    }

    TempFolder folder;
};

TEST_F(CodesignToolTest, ABundleSignedWithTheToolIsServedForItsTeam) {
    const std::string ca = makeAuthority("ca", kTeam);
    const std::string bundle = makeBundle(folder.path(), "Ordwyn.app");
    const CommandRun signedRun = signWith(ca, bundle);
    ASSERT_EQ(signedRun.status, 0) << signedRun.output;

    LinuxCodeSigning signing(ca + "/root.pem");
    EXPECT_TRUE(signing.satisfies(bundle, GuardNames::appRequirement(kAppId, kTeam)));
    EXPECT_FALSE(signing.satisfies(bundle, GuardNames::appRequirement(kAppId, "OTHER")));

    Child app(executableOf(bundle), {"30"});
    ASSERT_TRUE(app.started());
    std::string why;
    EXPECT_TRUE(
        CallerVerdict(ca + "/root.pem")
            .genuine(::geteuid(), app.pid(), GuardNames::appRequirement(kAppId, kTeam), &why))
        << why;
}

TEST_F(CodesignToolTest, TheDefaultEmptyTeamIsServedThroughTheMarker) {
    const std::string ca = makeAuthority("ca", "");
    const std::string bundle = makeBundle(folder.path(), "Ordwyn.app");
    ASSERT_EQ(signWith(ca, bundle).status, 0);
    LinuxCodeSigning signing(ca + "/root.pem");
    EXPECT_TRUE(signing.satisfies(bundle, GuardNames::appRequirement(kAppId, "")));
    EXPECT_FALSE(signing.satisfies(bundle, GuardNames::appRequirement(kAppId, kTeam)));
}

TEST_F(CodesignToolTest, TheChainOptionCarriesIntermediates) {
    const TestAuthority root("Vorsel test authority");
    const TestAuthority intermediate("Vorsel test intermediate", root);
    const std::string dir = folder.path();
    writePem(intermediate.issue({.team = kTeam}, false), dir + "/leaf.pem", dir + "/leaf.key");
    intermediate.writeRoot(dir + "/chain.pem");
    writeFile(dir + "/entitlements.json", appEntitlements(kTeam).dump());
    const std::string bundle = makeBundle(dir, "Ordwyn.app");
    const CommandRun signedRun = codesign(
        "--sign --cert " + quoted(dir + "/leaf.pem") + " --key " + quoted(dir + "/leaf.key") +
        " --chain " + quoted(dir + "/chain.pem") + " --identifier " + kAppId + " --entitlements " +
        quoted(dir + "/entitlements.json") + " " + quoted(bundle));
    ASSERT_EQ(signedRun.status, 0) << signedRun.output;
    LinuxCodeSigning signing(root.writeRoot(dir + "/anchors.pem"));
    EXPECT_TRUE(signing.satisfies(bundle, GuardNames::appRequirement(kAppId, kTeam)));

    // A key that is not the certificate's is refused before anything is written.
    writePem(intermediate.issue({}), dir + "/other.pem", dir + "/other.key");
    const CommandRun mismatched =
        codesign("--sign --cert " + quoted(dir + "/leaf.pem") + " --key " +
                 quoted(dir + "/other.key") + " --identifier " + kAppId + " " + quoted(bundle));
    EXPECT_EQ(mismatched.status, 1);
    EXPECT_NE(mismatched.output.find("does not match"), std::string::npos) << mismatched.output;
    EXPECT_TRUE(signing.satisfies(bundle, GuardNames::appRequirement(kAppId, kTeam)));
}

TEST_F(CodesignToolTest, VerifySaysWhyABundleFails) {
    const std::string ca = makeAuthority("ca", kTeam);
    const std::string other = makeAuthority("other", kTeam);
    const std::string bundle = makeBundle(folder.path(), "Ordwyn.app");
    ASSERT_EQ(signWith(ca, bundle).status, 0);
    const std::string requirement = GuardNames::appRequirement(kAppId, kTeam);

    CommandRun verified = codesign("--verify --anchors " + quoted(ca + "/root.pem") +
                                   " --requirement " + quoted(requirement) + " " + quoted(bundle));
    EXPECT_EQ(verified.status, 0) << verified.output;

    verified = codesign("--verify --anchors " + quoted(other + "/root.pem") + " " + quoted(bundle));
    EXPECT_EQ(verified.status, 1);
    EXPECT_NE(verified.output.find("does not verify"), std::string::npos) << verified.output;
    // With OpenSSL's own detail drained from its queue.
    EXPECT_NE(verified.output.find("unable to get local issuer certificate"), std::string::npos)
        << verified.output;

    writeFile(bundle + "/Contents/Resources/strings.txt", "changed");
    verified = codesign("--verify --anchors " + quoted(ca + "/root.pem") + " " + quoted(bundle));
    EXPECT_EQ(verified.status, 1);
    EXPECT_NE(verified.output.find("Contents/Resources/strings.txt: modified"), std::string::npos)
        << verified.output;
}

TEST_F(CodesignToolTest, UsageErrorsAndHelp) {
    const CommandRun help = codesign("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("openssl req -x509"), std::string::npos) << help.output;
    EXPECT_EQ(codesign("").status, 2);
    EXPECT_EQ(codesign("--sign --verify x").status, 2);
    EXPECT_EQ(codesign("--sign --cert a.pem x").status, 2);
    EXPECT_EQ(codesign("--verify x").status, 2);
    EXPECT_EQ(codesign("--verify --anchors").status, 2);
    // Missing files are failures, not crashes.
    EXPECT_EQ(codesign("--sign --cert /nonexistent --key /nonexistent --identifier a " +
                       quoted(folder.path()))
                  .status,
              1);
}

}  // namespace
}  // namespace vorsel::linux_platform::testing
