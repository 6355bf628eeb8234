// Strict validation of signed bundles through the CodeSigning adapter, with
// the main app's real requirement text and authorities made by the test.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "Guard/Rules/GuardRules.h"
#include "Platform/Linux/Signing/BundleSigner.h"
#include "Platform/Linux/Signing/BundleValidation.h"
#include "Platform/Linux/Signing/LinuxCodeSigning.h"
#include "tests/platform/signing/SigningFixture.h"

namespace vorsel::linux_platform::testing {
namespace {

namespace fs = std::filesystem;

class BundleValidationTest : public ::testing::Test {
  protected:
    BundleValidationTest()
        : certificateAuthority("Vorsel test authority"),
          anchors(certificateAuthority.writeRoot(folder.path() + "/anchors.pem")),
          signing(anchors),
          bundle(makeBundle(folder.path(), "Ordwyn.app")) {}

    // The genuine app: a leaf with both team clauses met.
    SigningIdentity genuineLeaf() const {
        return certificateAuthority.issue({.team = kTeam, .teamMarker = true});
    }
    std::string requirement(const std::string& team = kTeam) const {
        return GuardNames::appRequirement(kAppId, team);
    }
    bool served(const std::string& givenBundle) {
        return signing.satisfies(givenBundle, requirement());
    }
    // Why validation of `bundle` fails, or "" when it passes.
    std::string failure() const {
        std::string why;
        return validateAgainst(bundle, anchors, requirement(), &why) ? "" : why;
    }

    TempFolder folder;
    TestAuthority certificateAuthority;
    std::string anchors;
    LinuxCodeSigning signing;
    std::string bundle;
};

TEST_F(BundleValidationTest, SignedStandInIsServedAndUnsignedIsNot) {
    EXPECT_FALSE(served(bundle));
    EXPECT_NE(failure().find("not signed"), std::string::npos) << failure();

    sign(bundle, genuineLeaf(), appEntitlements(kTeam));
    EXPECT_TRUE(served(bundle)) << failure();
    // The same bundle reached through a link to it is the same bundle.
    fs::create_directory_symlink(bundle, folder.path() + "/Linked.app");
    EXPECT_TRUE(served(folder.path() + "/Linked.app"));
}

TEST_F(BundleValidationTest, EitherTeamClauseAloneServesTheApp) {
    // Marker extension plus the team entitlement, no OU at all.
    sign(bundle, certificateAuthority.issue({.teamMarker = true}), appEntitlements(kTeam));
    EXPECT_TRUE(served(bundle)) << failure();
    // The other marker extension does as well.
    sign(bundle, certificateAuthority.issue({.teamMarker25 = true}), appEntitlements(kTeam));
    EXPECT_TRUE(served(bundle)) << failure();
    // The subject's OU alone, whatever the entitlement says.
    sign(bundle, certificateAuthority.issue({.team = kTeam}), appEntitlements("SOMEONE"));
    EXPECT_TRUE(served(bundle)) << failure();
}

TEST_F(BundleValidationTest, LeafOfAnotherTeamIsRefusedThroughBothClauses) {
    // OU of another team, no marker: the second clause fails, the first has no marker.
    sign(bundle, certificateAuthority.issue({.team = "OTHER"}), appEntitlements(kTeam));
    EXPECT_FALSE(served(bundle));
    // Marker present but the entitlement names another team, OU too.
    sign(bundle, certificateAuthority.issue({.team = "OTHER", .teamMarker = true}),
         appEntitlements("OTHER"));
    EXPECT_FALSE(served(bundle));
    // Our team's entitlement without the marker extension proves nothing.
    sign(bundle, certificateAuthority.issue({}), appEntitlements(kTeam));
    EXPECT_FALSE(served(bundle));
    // The team entitlement must be text, not merely present.
    sign(bundle, certificateAuthority.issue({.teamMarker = true}),
         {{"com.apple.security.app-sandbox", true}, {"com.apple.developer.team-identifier", true}});
    EXPECT_FALSE(served(bundle));
}

TEST_F(BundleValidationTest, WrongAuthorityIdentifierOrEntitlementsAreRefused) {
    TestAuthority stranger("Vorsel test authority");  // same name, other key
    sign(bundle, stranger.issue({.team = kTeam, .teamMarker = true}), appEntitlements(kTeam));
    EXPECT_FALSE(served(bundle));
    EXPECT_NE(failure().find("does not verify"), std::string::npos) << failure();

    sign(bundle, genuineLeaf(), appEntitlements(kTeam), "com.ordwyn.app.helper");
    EXPECT_FALSE(served(bundle));

    auto unsandboxed = appEntitlements(kTeam);
    unsandboxed.erase("com.apple.security.app-sandbox");
    sign(bundle, genuineLeaf(), unsandboxed);
    EXPECT_FALSE(served(bundle));

    // A leaf without the code-signing key usage signs nothing here.
    sign(bundle,
         certificateAuthority.issue({.team = kTeam, .teamMarker = true, .codeSigning = false}),
         appEntitlements(kTeam));
    EXPECT_FALSE(served(bundle));
    EXPECT_NE(failure().find("not for code signing"), std::string::npos) << failure();

    // Nor does a key too weak to trust.
    sign(bundle, certificateAuthority.issue({.team = kTeam, .teamMarker = true, .weakKey = true}),
         appEntitlements(kTeam));
    EXPECT_NE(failure().find("does not verify"), std::string::npos) << failure();
}

TEST_F(BundleValidationTest, ChainsThroughAnIntermediateReachTheAnchor) {
    const TestAuthority intermediate("Vorsel test intermediate", certificateAuthority);
    const LeafOptions leaf{.team = kTeam, .teamMarker = true};
    sign(bundle, intermediate.issue(leaf), appEntitlements(kTeam));
    EXPECT_TRUE(served(bundle)) << failure();
    // Without the intermediate in the signature, the chain breaks.
    sign(bundle, intermediate.issue(leaf, false), appEntitlements(kTeam));
    EXPECT_NE(failure().find("unable to get local issuer"), std::string::npos) << failure();
    // Unless the intermediate itself is an anchor: any anchor ends a chain.
    LinuxCodeSigning pinned(intermediate.writeRoot(folder.path() + "/intermediate.pem"));
    EXPECT_TRUE(pinned.satisfies(bundle, requirement()));
    EXPECT_FALSE(pinned.satisfies(makeBundle(folder.path(), "Unsigned.app"), requirement()));
}

TEST_F(BundleValidationTest, NoAnchorsNoRequirementNoPass) {
    sign(bundle, genuineLeaf(), appEntitlements(kTeam));
    writeFile(folder.path() + "/empty.pem", "");
    writeFile(folder.path() + "/junk.pem",
              certificateAuthority.rootPem() + "-----BEGIN CERTIFICATE-----\nnot base64\n");
    EXPECT_FALSE(LinuxCodeSigning(folder.path() + "/empty.pem").satisfies(bundle, requirement()));
    EXPECT_FALSE(LinuxCodeSigning(folder.path() + "/none.pem").satisfies(bundle, requirement()));
    EXPECT_FALSE(LinuxCodeSigning(folder.path() + "/junk.pem").satisfies(bundle, requirement()));
    EXPECT_FALSE(signing.satisfies(bundle, "identifier \"com.ordwyn.app\" and"));
    EXPECT_FALSE(signing.satisfies(bundle, ""));
    EXPECT_FALSE(signing.satisfies(folder.path() + "/Missing.app", requirement()));
    EXPECT_TRUE(served(bundle));
}

TEST_F(BundleValidationTest, AnyChangeToTheContentsIsRefused) {
    sign(bundle, genuineLeaf(), appEntitlements(kTeam));
    const std::string resource = bundle + "/Contents/Resources/strings.txt";

    writeFile(resource, "distraction\n");
    EXPECT_EQ(failure(), "Contents/Resources/strings.txt: modified");
    writeFile(resource, "focus\n");
    EXPECT_EQ(failure(), "");

    writeFile(bundle + "/Contents/Resources/extra.txt", "");
    EXPECT_EQ(failure(), "Contents/Resources/extra.txt: not sealed");
    fs::remove(bundle + "/Contents/Resources/extra.txt");
    // Even beside the signature itself.
    writeFile(bundle + "/Contents/_CodeSignature/notes", "");
    EXPECT_EQ(failure(), "Contents/_CodeSignature/notes: not sealed");
    fs::remove(bundle + "/Contents/_CodeSignature/notes");

    fs::remove(resource);
    EXPECT_EQ(failure(), "Contents/Resources/strings.txt: missing");
    writeFile(resource, "focus\n");
    EXPECT_EQ(failure(), "");

    // The executable swapped for another program.
    fs::copy_file("/bin/true", executableOf(bundle), fs::copy_options::overwrite_existing);
    EXPECT_EQ(failure(), "Contents/Linux/ordwyn: modified");
}

TEST_F(BundleValidationTest, SealAndSignatureFilesAreCheckedAsRead) {
    sign(bundle, genuineLeaf(), appEntitlements(kTeam));
    const std::string seal = bundle + "/Contents/_CodeSignature/CodeResources";
    const std::string original = readFile(seal);

    // One byte of the seal changed: the signature no longer covers it.
    std::string edited = original;
    edited.back() = edited.back() == '}' ? ' ' : '}';
    writeFile(seal, edited);
    EXPECT_NE(failure().find("does not verify"), std::string::npos) << failure();

    // The seal as a link to a copy of itself is not a seal.
    writeFile(folder.path() + "/copy", original);
    fs::remove(seal);
    fs::create_symlink(folder.path() + "/copy", seal);
    EXPECT_NE(failure().find("not signed"), std::string::npos) << failure();
    fs::remove(seal);
    writeFile(seal, original);
    EXPECT_EQ(failure(), "");

    writeFile(bundle + "/Contents/_CodeSignature/CodeSignature", "garbage");
    EXPECT_NE(failure().find("not CMS"), std::string::npos) << failure();
}

TEST_F(BundleValidationTest, LinksMayNotLeaveTheBundle) {
    fs::create_symlink("../Resources/strings.txt", bundle + "/Contents/Linux/strings");
    fs::create_directory_symlink("Resources", bundle + "/Contents/Assets");
    sign(bundle, genuineLeaf(), appEntitlements(kTeam));
    EXPECT_EQ(failure(), "");

    // Added after signing: refused as leading out even before being unsealed,
    // and the signer refuses to seal it.
    fs::create_symlink("/etc/passwd", bundle + "/Contents/Resources/passwd");
    EXPECT_EQ(failure(), "Contents/Resources/passwd: a symbolic link that leads out of the bundle");
    std::string why;
    EXPECT_FALSE(signBundle(bundle, genuineLeaf(), kAppId, appEntitlements(kTeam), &why));
    EXPECT_NE(why.find("leads out of the bundle"), std::string::npos) << why;
    fs::remove(bundle + "/Contents/Resources/passwd");

    // A link that climbs out through another link, sealed and signed by hand
    // as a careless tool might: the validator itself refuses it.
    fs::create_directory_symlink("..", bundle + "/Contents/Up");
    fs::create_symlink("Up/../outside", bundle + "/Contents/Sneaky");
    auto seal = sealOf(bundle, kAppId, appEntitlements(kTeam), &why);
    EXPECT_FALSE(seal) << "the signer must not seal it either";
    Seal forged;
    forged.identifier = kAppId;
    forged.entitlements = appEntitlements(kTeam);
    forged.executable = "Contents/Linux/ordwyn";
    {
        fs::remove(bundle + "/Contents/Sneaky");
        auto honest = sealOf(bundle, kAppId, appEntitlements(kTeam), &why);
        ASSERT_TRUE(honest) << why;
        forged.files = honest->files;
        forged.symlinks = honest->symlinks;
        fs::create_symlink("Up/../outside", bundle + "/Contents/Sneaky");
        forged.symlinks["Contents/Sneaky"] = "Up/../outside";
    }
    const std::string bytes = forged.written();
    const auto signature = signSeal(bytes, genuineLeaf(), &why);
    ASSERT_TRUE(signature) << why;
    writeFile(bundle + "/Contents/_CodeSignature/CodeResources", bytes);
    writeFile(bundle + "/Contents/_CodeSignature/CodeSignature", *signature);
    EXPECT_EQ(failure(), "Contents/Sneaky: a symbolic link that leads out of the bundle");
}

TEST_F(BundleValidationTest, OnlyFilesFoldersAndLinksMayBeInTheBundle) {
    sign(bundle, genuineLeaf(), appEntitlements(kTeam));
    const std::string fifo = bundle + "/Contents/Resources/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_NE(failure().find("neither a file"), std::string::npos) << failure();
    std::string why;
    EXPECT_FALSE(signBundle(bundle, genuineLeaf(), kAppId, appEntitlements(kTeam), &why));
}

TEST_F(BundleValidationTest, TheExecutableIsTheOneInfoPlistNames) {
    // A seal whose executable is another sealed file than Info.plist's.
    writeFile(bundle + "/Contents/Linux/other", "#!/bin/sh\n", 0755);
    std::string why;
    auto seal = sealOf(bundle, kAppId, appEntitlements(kTeam), &why);
    ASSERT_TRUE(seal) << why;
    seal->executable = "Contents/Linux/other";
    const std::string bytes = seal->written();
    const auto signature = signSeal(bytes, genuineLeaf(), &why);
    ASSERT_TRUE(signature) << why;
    fs::create_directories(bundle + "/Contents/_CodeSignature");
    writeFile(bundle + "/Contents/_CodeSignature/CodeResources", bytes);
    writeFile(bundle + "/Contents/_CodeSignature/CodeSignature", *signature);
    EXPECT_EQ(failure(), "the seal's executable is not the one Info.plist names");

    // No executable where Info.plist points: nothing to sign.
    fs::remove(executableOf(bundle));
    EXPECT_FALSE(signBundle(bundle, genuineLeaf(), kAppId, appEntitlements(kTeam), &why));
}

TEST_F(BundleValidationTest, SignaturesMadeWithTheOpensslToolAreValidWithStrongDigests) {
    sign(bundle, genuineLeaf(), appEntitlements(kTeam));
    const auto leaf = genuineLeaf();
    writePem(leaf, folder.path() + "/leaf.pem", folder.path() + "/leaf.key");
    const std::string signature = bundle + "/Contents/_CodeSignature/CodeSignature";
    const auto opensslSign = [&](const std::string& digest) {
        fs::remove(signature);
        const std::string command =
            "openssl cms -sign -binary -md " + digest + " -outform DER -in '" + bundle +
            "/Contents/_CodeSignature/CodeResources' -signer '" + folder.path() +
            "/leaf.pem' -inkey '" + folder.path() + "/leaf.key' -out '" + signature + "'";
        return std::system(command.c_str());
    };
    ASSERT_EQ(opensslSign("sha256"), 0);
    EXPECT_EQ(failure(), "");
    ASSERT_EQ(opensslSign("sha512"), 0);
    EXPECT_EQ(failure(), "");
    ASSERT_EQ(opensslSign("sha1"), 0);
    EXPECT_EQ(failure(), "the signature uses a weak digest");
}

TEST_F(BundleValidationTest, ModificationDateIsTheFileTimeWithFractions) {
    const std::string path = folder.path() + "/dated";
    writeFile(path, "x");
    const struct timeval times[2] = {{1000000000, 250000}, {1000000000, 250000}};
    ASSERT_EQ(::utimes(path.c_str(), times), 0);
    const auto date = signing.modificationDate(path);
    ASSERT_TRUE(date);
    EXPECT_NEAR(*date, 1000000000.25 - kReferenceSinceUnixEpoch, 1e-6);
    EXPECT_FALSE(signing.modificationDate(folder.path() + "/missing"));
    EXPECT_FALSE(signing.modificationDate(""));
}

TEST_F(BundleValidationTest, SigningAgainGivesTheSealANewDate) {
    // The agent trusts a bundle while its seal keeps the date it passed with;
    // a new signature, even within the same second, must show as a new date.
    const std::string seal = bundle + "/Contents/_CodeSignature/CodeResources";
    sign(bundle, genuineLeaf(), appEntitlements(kTeam));
    const auto first = signing.modificationDate(seal);
    ASSERT_TRUE(first);
    EXPECT_EQ(signing.modificationDate(seal), first) << "unchanged while untouched";
    writeFile(bundle + "/Contents/Resources/strings.txt", "new build\n");
    sign(bundle, genuineLeaf(), appEntitlements(kTeam));
    const auto second = signing.modificationDate(seal);
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
}

}  // namespace
}  // namespace vorsel::linux_platform::testing
