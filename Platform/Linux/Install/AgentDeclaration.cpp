#include "Platform/Linux/Install/AgentDeclaration.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

#include <plist/plist.h>

#include "Platform/Linux/Runtime/InfoPlist.h"

namespace vorsel::linux_platform {

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

constexpr std::uintmax_t kMaxSize = 64 * 1024;

std::optional<std::string> textOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    char* value = nullptr;
    plist_get_string_val(node, &value);
    if (!value) return std::nullopt;
    std::string result = value;
    std::free(value);
    return result;
}

// Unit and job names end up in file names and unit files: keep them plain.
bool plainName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

// A relative path that stays inside the bundle.
bool insideBundle(const std::string& program) {
    if (program.empty() || program.front() == '/') return false;
    for (const auto& part : std::filesystem::path(program)) {
        if (part == "..") return false;
    }
    return program.find('\n') == std::string::npos;
}

std::optional<std::vector<std::string>> textsOf(plist_t node) {
    std::vector<std::string> texts;
    if (!node) return texts;
    if (plist_get_node_type(node) != PLIST_ARRAY) return std::nullopt;
    for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
        auto text = textOf(plist_array_get_item(node, i));
        if (!text) return std::nullopt;
        texts.push_back(*text);
    }
    return texts;
}

std::optional<std::string> onlyKeyOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_DICT || plist_dict_get_size(node) != 1) {
        return std::nullopt;
    }
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node, &iter);
    char* key = nullptr;
    plist_t item = nullptr;
    plist_dict_next_item(node, iter, &key, &item);
    std::free(iter);
    if (!key) return std::nullopt;
    std::string result = key;
    std::free(key);
    return result;
}

}  // namespace

std::string AgentDeclaration::pathIn(const std::string& bundle) {
    return bundle + "/Contents/Library/LaunchAgents/guard-agent.plist";
}

std::optional<AgentDeclaration> AgentDeclaration::load(const std::string& bundle) {
    const auto text = readBoundedFile(pathIn(bundle), kMaxSize);
    return text ? parse(*text) : std::nullopt;
}

std::optional<AgentDeclaration> AgentDeclaration::parse(const std::string& xml) {
    if (xml.empty() || xml.size() > kMaxSize) return std::nullopt;
    plist_t raw = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &raw);
    PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;

    auto label = textOf(plist_dict_get_item(root.get(), "Label"));
    auto program = textOf(plist_dict_get_item(root.get(), "BundleProgram"));
    auto arguments = textsOf(plist_dict_get_item(root.get(), "ProgramArguments"));
    auto service = onlyKeyOf(plist_dict_get_item(root.get(), "MachServices"));
    if (!label || !plainName(*label) || !program || !insideBundle(*program) || !arguments ||
        !service || service->empty()) {
        return std::nullopt;
    }
    return AgentDeclaration{*label, *program, *arguments, *service};
}

}  // namespace vorsel::linux_platform
