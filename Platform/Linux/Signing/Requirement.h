// The code requirement language, as far as the main app's requirement uses it:
//
//   requirement := clause ("or" clause)*          ("and" binds tighter)
//   clause      := term ("and" term)*
//   term        := "(" requirement ")"
//                | "anchor" "apple" "generic"     the chain ends at one of our anchors
//                | "identifier" STRING            the seal's identifier equals it
//                | "entitlement" "[" STRING "]" "exists"
//                | "entitlement" "[" STRING "]" "=" STRING   a text entitlement equal to it
//                | "certificate" "leaf" "[" "field." OID "]" "exists"
//                | "certificate" "leaf" "[" "subject.OU" "]" "=" STRING
//
// STRING is text between double quotes, taken literally (no escapes). Text
// that does not parse makes no requirement at all, which no code satisfies.
// Pure values; any thread.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorsel::linux_platform {

// What a validated signature tells about the signed code.
struct CodeFacts {
    bool anchored = false;  // the signer's chain ends at one of our anchors
    std::string identifier;
    nlohmann::json entitlements = nlohmann::json::object();
    std::set<std::string> leafExtensions;              // dotted OIDs of the leaf's extensions
    std::vector<std::string> leafOrganizationalUnits;  // the leaf subject's OU values (UTF-8)
};

class Requirement {
  public:
    // Parses `text`; nothing when it does not parse (including nesting deeper
    // than a small fixed bound, or text longer than 64 KiB). `failure`, when
    // given, then says where.
    static std::optional<Requirement> parse(std::string_view text, std::string* failure = nullptr);

    // Whether code with `facts` satisfies the requirement.
    bool satisfiedBy(const CodeFacts& facts) const;

    struct Node;
    Requirement(Requirement&&) noexcept;
    Requirement& operator=(Requirement&&) noexcept;
    ~Requirement();

  private:
    explicit Requirement(std::unique_ptr<Node> root);
    std::unique_ptr<Node> root;
};

}  // namespace vorsel::linux_platform
