#include "Platform/Linux/Runtime/InfoPlist.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <plist/plist.h>

namespace vorsel::linux_platform {

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Info.plist files are small; anything larger is not one.
constexpr std::uintmax_t kMaxPlistSize = 1 << 20;

}  // namespace

std::optional<std::string> readBoundedFile(const std::string& path, std::uintmax_t maxSize) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > maxSize) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::optional<InfoPlist> InfoPlist::load(const std::string& path) {
    const auto text = readBoundedFile(path, kMaxPlistSize);
    return text ? parse(*text) : std::nullopt;
}

std::optional<InfoPlist> InfoPlist::parse(const std::string& xml) {
    if (xml.empty() || xml.size() > kMaxPlistSize) return std::nullopt;
    plist_t raw = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &raw);
    PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;

    InfoPlist result;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root.get(), &iter);
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(root.get(), iter, &key, &item);
        if (!key) break;
        std::string name = key;
        free(key);
        switch (plist_get_node_type(item)) {
            case PLIST_STRING: {
                char* value = nullptr;
                plist_get_string_val(item, &value);
                if (value) result.values[name] = std::string(value);
                free(value);
                break;
            }
            case PLIST_BOOLEAN: {
                uint8_t value = 0;
                plist_get_bool_val(item, &value);
                result.values[name] = value != 0;
                break;
            }
            case PLIST_UINT: {
                uint64_t value = 0;
                plist_get_uint_val(item, &value);
                result.values[name] = static_cast<long long>(value);
                break;
            }
            default:
                break;
        }
    }
    free(iter);
    return result;
}

std::optional<std::string> InfoPlist::text(const std::string& key) const {
    auto found = values.find(key);
    if (found == values.end()) return std::nullopt;
    if (auto* value = std::get_if<std::string>(&found->second)) return *value;
    return std::nullopt;
}

std::optional<bool> InfoPlist::boolean(const std::string& key) const {
    auto found = values.find(key);
    if (found == values.end()) return std::nullopt;
    if (auto* value = std::get_if<bool>(&found->second)) return *value;
    return std::nullopt;
}

std::optional<std::string> bundleAround(const std::string& executable) {
    const std::filesystem::path path(executable);
    if (!path.is_absolute() || !path.has_filename()) return std::nullopt;
    const auto linuxDir = path.parent_path();
    const auto contents = linuxDir.parent_path();
    if (linuxDir.filename() != "Linux" || contents.filename() != "Contents") return std::nullopt;
    const auto bundle = contents.parent_path();
    if (bundle == bundle.root_path()) return std::nullopt;
    return bundle.string();
}

std::string infoPlistPath(const std::string& bundle) { return bundle + "/Contents/Info.plist"; }

}  // namespace vorsel::linux_platform
