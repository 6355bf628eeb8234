// The seal's JSON form and the confinement of symbolic links, on their own.
#include <gtest/gtest.h>

#include "Platform/Linux/Signing/BundleTree.h"
#include "Platform/Linux/Signing/Seal.h"

namespace vorsel::linux_platform {
namespace {

const std::string kHash(64, 'a');

TEST(SealTest, WrittenSealsReadBackAndStrangersDoNot) {
    Seal seal;
    seal.identifier = "com.ordwyn.app";
    seal.entitlements = {{"com.apple.security.app-sandbox", true}};
    seal.executable = "Contents/Linux/ordwyn";
    seal.files = {{"Contents/Linux/ordwyn", kHash}, {"Contents/Info.plist", kHash}};
    seal.symlinks = {{"Contents/Linux/link", "../Resources/x"}};
    const std::string bytes = seal.written();
    const auto read = Seal::parse(bytes, nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->written(), bytes);
    EXPECT_EQ(read->files, seal.files);
    EXPECT_EQ(read->symlinks, seal.symlinks);

    const std::string good = R"("identifier":"a","entitlements":{},"executable":"e")";
    const char* const broken[] = {
        "",
        "[]",
        "{",
        "null",
        R"({"identifier":"a","entitlements":{},"executable":"e","files":{}})",
        R"({"identifier":1,"entitlements":{},"executable":"e","files":{},"symlinks":{}})",
        R"({"identifier":"a","entitlements":[],"executable":"e","files":{},"symlinks":{}})",
    };
    for (const char* text : broken) EXPECT_FALSE(Seal::parse(text, nullptr)) << text;
    const std::string bad[] = {
        "{" + good + R"(,"files":{"f":"ABCD"},"symlinks":{}})",
        "{" + good + R"(,"files":{"f":")" + std::string(64, 'A') + R"("},"symlinks":{}})",
        "{" + good + R"(,"files":{"f":1},"symlinks":{}})",
        "{" + good + R"(,"files":{},"symlinks":{"l":null}})",
        "{" + good + R"(,"files":{},"symlinks":{},"version":2})",
    };
    for (const auto& text : bad) EXPECT_FALSE(Seal::parse(text, nullptr)) << text;
    std::string why;
    EXPECT_TRUE(
        Seal::parse("{" + good + R"(,"files":{"f":")" + kHash + R"("},"symlinks":{}})", &why))
        << why;
}

TEST(SealTest, LinksResolveInsideOrAreRefused) {
    const std::map<std::string, std::string> links = {
        {"Contents/Linux/res", "../Resources/x"},
        {"Contents/Self", "."},
        {"Contents/Up", ".."},
        {"Contents/Root", "../.."},
        {"Contents/Abs", "/etc/passwd"},
        {"Contents/Empty", ""},
        {"Contents/ViaUp", "Up/Contents/Resources"},
        {"Contents/Escape", "Up/../outside"},
        {"Contents/LoopA", "LoopB"},
        {"Contents/LoopB", "LoopA"},
        {"Contents/Deep/Deeper/x", "../../../Contents"},
        {"Top", "Contents/Up/.."},
        {"Contents/ViaEscape", "Escape/x"},
    };
    EXPECT_TRUE(staysInside("Contents/Linux/res", links));
    EXPECT_TRUE(staysInside("Contents/Self", links));
    EXPECT_TRUE(staysInside("Contents/Up", links));
    EXPECT_TRUE(staysInside("Contents/ViaUp", links));
    EXPECT_TRUE(staysInside("Contents/Deep/Deeper/x", links));
    EXPECT_FALSE(staysInside("Contents/Root", links));
    EXPECT_FALSE(staysInside("Contents/Abs", links));
    EXPECT_FALSE(staysInside("Contents/Empty", links));
    EXPECT_FALSE(staysInside("Contents/Escape", links)) << "lexically inside, really outside";
    EXPECT_FALSE(staysInside("Contents/LoopA", links));
    EXPECT_FALSE(staysInside("Top", links)) << "Contents/Up/.. is the bundle's parent";
    EXPECT_FALSE(staysInside("Contents/ViaEscape", links));
    EXPECT_FALSE(staysInside("Contents/NotALink", links));
}

}  // namespace
}  // namespace vorsel::linux_platform
