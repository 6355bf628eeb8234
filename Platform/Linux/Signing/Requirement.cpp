#include "Platform/Linux/Signing/Requirement.h"

#include <algorithm>
#include <variant>

namespace vorsel::linux_platform {

namespace {

constexpr std::size_t kMaxText = 64 * 1024;
constexpr int kMaxNesting = 32;

struct Token {
    enum class Kind { word, text, symbol, end } kind = Kind::end;
    std::string value;
    std::size_t at = 0;
};

bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

bool isOid(std::string_view text) {
    int arcs = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::size_t length = dot - start;
        if (length == 0 || length > 20) return false;
        for (std::size_t i = start; i < dot; ++i)
            if (text[i] < '0' || text[i] > '9') return false;
        ++arcs;
        start = dot + 1;
    }
    return arcs >= 2;
}

}  // namespace

struct Requirement::Node {
    enum class Kind {
        anyOf,       // children, "or"
        allOf,       // children, "and"
        anchor,      // anchor apple generic
        identifier,  // identifier "value"
        entitlementExists,
        entitlementEquals,
        leafField,  // certificate leaf[field.<key>] exists
        leafUnit,   // certificate leaf[subject.OU] = "value"
    };
    Kind kind = Kind::anchor;
    std::string key;
    std::string value;
    std::vector<std::unique_ptr<Node>> children;
};

namespace {

using Node = Requirement::Node;

class Parser {
  public:
    explicit Parser(std::string_view text) : text(text) {}

    std::unique_ptr<Node> parseAll(std::string* failure) {
        advance();
        auto root = requirement(0);
        if (root && current.kind != Token::Kind::end) root = fail("unexpected text");
        if (isBroken) root = nullptr;
        if (!root && failure) *failure = error;
        return root;
    }

  private:
    std::unique_ptr<Node> requirement(int depth) {
        return chain("or", Node::Kind::anyOf, [this, depth] { return clause(depth); });
    }
    std::unique_ptr<Node> clause(int depth) {
        return chain("and", Node::Kind::allOf, [this, depth] { return term(depth); });
    }

    template <typename Next>
    std::unique_ptr<Node> chain(const char* joiner, Node::Kind kind, Next next) {
        auto first = next();
        if (!first) return nullptr;
        if (!isWord(joiner)) return first;
        auto group = std::make_unique<Node>();
        group->kind = kind;
        group->children.push_back(std::move(first));
        while (isWord(joiner)) {
            advance();
            auto more = next();
            if (!more) return nullptr;
            group->children.push_back(std::move(more));
        }
        return group;
    }

    std::unique_ptr<Node> term(int depth) {
        if (isSymbol("(")) {
            if (depth >= kMaxNesting) return fail("nested too deep");
            advance();
            auto inner = requirement(depth + 1);
            if (!inner || !expectSymbol(")")) return nullptr;
            return inner;
        }
        auto node = std::make_unique<Node>();
        if (takeWord("anchor")) {
            if (!expectWord("apple") || !expectWord("generic")) return nullptr;
            node->kind = Node::Kind::anchor;
        } else if (takeWord("identifier")) {
            node->kind = Node::Kind::identifier;
            if (!expectText(node->value)) return nullptr;
        } else if (takeWord("entitlement")) {
            if (!expectSymbol("[") || !expectText(node->key) || !expectSymbol("]")) return nullptr;
            if (takeWord("exists")) {
                node->kind = Node::Kind::entitlementExists;
            } else {
                node->kind = Node::Kind::entitlementEquals;
                if (!expectSymbol("=") || !expectText(node->value)) return nullptr;
            }
        } else if (takeWord("certificate")) {
            if (!expectWord("leaf") || !expectSymbol("[")) return nullptr;
            if (current.kind != Token::Kind::word) return fail("expected a certificate field");
            const std::string field = current.value;
            advance();
            if (!expectSymbol("]")) return nullptr;
            if (field.rfind("field.", 0) == 0 && isOid(std::string_view(field).substr(6))) {
                node->kind = Node::Kind::leafField;
                node->key = field.substr(6);
                if (!expectWord("exists")) return nullptr;
            } else if (field == "subject.OU") {
                node->kind = Node::Kind::leafUnit;
                if (!expectSymbol("=") || !expectText(node->value)) return nullptr;
            } else {
                return fail("unknown certificate field");
            }
        } else {
            return fail("expected a requirement");
        }
        return node;
    }

    bool isWord(const char* word) const {
        return current.kind == Token::Kind::word && current.value == word;
    }
    bool isSymbol(const char* symbol) const {
        return current.kind == Token::Kind::symbol && current.value == symbol;
    }
    bool takeWord(const char* word) {
        if (!isWord(word)) return false;
        advance();
        return true;
    }
    bool expectWord(const char* word) {
        if (takeWord(word)) return true;
        fail(std::string("expected ") + word);
        return false;
    }
    bool expectSymbol(const char* symbol) {
        if (!isSymbol(symbol)) {
            fail(std::string("expected ") + symbol);
            return false;
        }
        advance();
        return true;
    }
    bool expectText(std::string& into) {
        if (current.kind != Token::Kind::text) {
            fail("expected a quoted text");
            return false;
        }
        into = current.value;
        advance();
        return true;
    }

    std::unique_ptr<Node> fail(const std::string& why) {
        if (error.empty()) error = why + " at offset " + std::to_string(current.at);
        isBroken = true;
        return nullptr;
    }

    void advance() {
        while (pos < text.size() &&
               (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
            ++pos;
        current = Token{};
        current.at = pos;
        if (pos >= text.size()) return;
        const char c = text[pos];
        if (c == '"') {
            const std::size_t close = text.find('"', pos + 1);
            if (close == std::string_view::npos) {
                fail("unterminated text");  // leaves the end token: parsing stops
                pos = text.size();
                return;
            }
            current.kind = Token::Kind::text;
            current.value = std::string(text.substr(pos + 1, close - pos - 1));
            pos = close + 1;
        } else if (isWordChar(c)) {
            const std::size_t start = pos;
            while (pos < text.size() && isWordChar(text[pos])) ++pos;
            current.kind = Token::Kind::word;
            current.value = std::string(text.substr(start, pos - start));
        } else {
            current.kind = Token::Kind::symbol;
            current.value = std::string(1, c);
            ++pos;
        }
    }

    std::string_view text;
    std::size_t pos = 0;
    Token current;
    std::string error;
    bool isBroken = false;
};

bool holds(const Node& node, const CodeFacts& facts) {
    switch (node.kind) {
        case Node::Kind::anyOf:
            return std::any_of(node.children.begin(), node.children.end(),
                               [&](const auto& child) { return holds(*child, facts); });
        case Node::Kind::allOf:
            return std::all_of(node.children.begin(), node.children.end(),
                               [&](const auto& child) { return holds(*child, facts); });
        case Node::Kind::anchor:
            return facts.anchored;
        case Node::Kind::identifier:
            return facts.identifier == node.value;
        case Node::Kind::entitlementExists:
            return facts.entitlements.is_object() && facts.entitlements.contains(node.key);
        case Node::Kind::entitlementEquals: {
            if (!facts.entitlements.is_object()) return false;
            const auto found = facts.entitlements.find(node.key);
            return found != facts.entitlements.end() && found->is_string() &&
                   found->get_ref<const std::string&>() == node.value;
        }
        case Node::Kind::leafField:
            return facts.leafExtensions.count(node.key) > 0;
        case Node::Kind::leafUnit:
            return std::find(facts.leafOrganizationalUnits.begin(),
                             facts.leafOrganizationalUnits.end(),
                             node.value) != facts.leafOrganizationalUnits.end();
    }
    return false;
}

}  // namespace

std::optional<Requirement> Requirement::parse(std::string_view text, std::string* failure) {
    if (text.size() > kMaxText) {
        if (failure) *failure = "requirement text too long";
        return std::nullopt;
    }
    Parser parser(text);
    auto root = parser.parseAll(failure);
    if (!root) return std::nullopt;
    return Requirement(std::move(root));
}

bool Requirement::satisfiedBy(const CodeFacts& facts) const { return root && holds(*root, facts); }

Requirement::Requirement(std::unique_ptr<Node> root) : root(std::move(root)) {}
Requirement::Requirement(Requirement&&) noexcept = default;
Requirement& Requirement::operator=(Requirement&&) noexcept = default;
Requirement::~Requirement() = default;

}  // namespace vorsel::linux_platform
