#include "Platform/Linux/Signing/Seal.h"

namespace vorsel::linux_platform {

namespace {

using nlohmann::json;

bool isHash(const std::string& text) {
    if (text.size() != 64) return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

bool refuse(std::string* failure, const std::string& why) {
    if (failure) *failure = "the seal " + why;
    return false;
}

bool readTextMap(const json& value, const char* member, bool hashes,
                 std::map<std::string, std::string>& into, std::string* failure) {
    if (!value.is_object()) return refuse(failure, std::string("has no object \"") + member + "\"");
    for (const auto& [key, item] : value.items()) {
        if (!item.is_string())
            return refuse(failure, std::string("has a non-text value in \"") + member + "\"");
        const auto& text = item.get_ref<const std::string&>();
        if (hashes && !isHash(text)) return refuse(failure, "has a malformed hash for " + key);
        into[key] = text;
    }
    return true;
}

}  // namespace

std::optional<Seal> Seal::parse(std::string_view bytes, std::string* failure) {
    if (bytes.size() > kMaxSealSize) {
        refuse(failure, "is too large");
        return std::nullopt;
    }
    // No exceptions: a parse error gives a discarded value.
    const json root = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        refuse(failure, "is not a JSON object");
        return std::nullopt;
    }
    for (const auto& [key, value] : root.items()) {
        if (key != "identifier" && key != "entitlements" && key != "executable" && key != "files" &&
            key != "symlinks") {
            refuse(failure, "has an unknown member \"" + key + "\"");
            return std::nullopt;
        }
    }
    Seal seal;
    const auto identifier = root.find("identifier");
    const auto executable = root.find("executable");
    const auto entitlements = root.find("entitlements");
    const auto files = root.find("files");
    const auto symlinks = root.find("symlinks");
    if (identifier == root.end() || !identifier->is_string()) {
        refuse(failure, "has no text \"identifier\"");
        return std::nullopt;
    }
    if (executable == root.end() || !executable->is_string()) {
        refuse(failure, "has no text \"executable\"");
        return std::nullopt;
    }
    if (entitlements == root.end() || !entitlements->is_object()) {
        refuse(failure, "has no object \"entitlements\"");
        return std::nullopt;
    }
    if (files == root.end() || symlinks == root.end()) {
        refuse(failure, "lacks \"files\" or \"symlinks\"");
        return std::nullopt;
    }
    if (!readTextMap(*files, "files", true, seal.files, failure) ||
        !readTextMap(*symlinks, "symlinks", false, seal.symlinks, failure))
        return std::nullopt;
    seal.identifier = identifier->get<std::string>();
    seal.executable = executable->get<std::string>();
    seal.entitlements = *entitlements;
    return seal;
}

std::string Seal::written() const {
    json root = json::object();
    root["identifier"] = identifier;
    root["entitlements"] = entitlements.is_object() ? entitlements : json::object();
    root["executable"] = executable;
    root["files"] = files;
    root["symlinks"] = symlinks;
    // Replace rather than throw on bad UTF-8; callers hand over UTF-8 anyway.
    return root.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace vorsel::linux_platform
