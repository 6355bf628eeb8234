#include "Platform/Linux/Workspace/AppUnit.h"

#include <vector>

namespace vorsel::linux_platform {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Undoes systemd's "\xNN" escapes; nothing when an escape is malformed.
std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x') return std::nullopt;
        int high = hexDigit(text[i + 2]);
        int low = hexDigit(text[i + 3]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 3;
    }
    return out;
}

std::vector<std::string_view> splitDashes(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        std::size_t dash = text.find('-', start);
        if (dash == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, dash - start));
        start = dash + 1;
    }
}

// "dbus-<activator>-<bus name>@<n>.service": an app started by D-Bus
// activation (DBusActivatable entries), whose desktop file ID is its bus name.
std::optional<std::string> appIdOfActivatedUnit(std::string_view unit) {
    constexpr std::string_view kPrefix = "dbus-";
    constexpr std::string_view kSuffix = ".service";
    if (!unit.starts_with(kPrefix) || !unit.ends_with(kSuffix)) return std::nullopt;
    std::string_view body =
        unit.substr(kPrefix.size(), unit.size() - kPrefix.size() - kSuffix.size());
    std::size_t at = body.rfind('@');
    if (at == std::string_view::npos) return std::nullopt;
    body = body.substr(0, at);
    std::size_t dash = body.find('-');
    // The activator is a unique bus name such as ":1.2".
    if (dash == std::string_view::npos || dash < 2 || body[0] != ':') return std::nullopt;
    std::string_view name = body.substr(dash + 1);
    if (name.empty() || name.find('-') != std::string_view::npos) return std::nullopt;
    auto id = unescape(name);
    if (!id || id->find('.') == std::string::npos || id->find('/') != std::string::npos)
        return std::nullopt;
    return id;
}

bool isUuid(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : hexDigit(text[i]) < 0) return false;
    }
    return true;
}

bool isSnapName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!plain) return false;
    }
    return true;
}

// "snap.<snap>.<app>-<uuid>.scope": each start of a snap's app. Instances of
// a snap installed twice ("<snap>_<key>") are left out: their entries'
// names are not settled.
std::optional<std::string> appIdOfSnapUnit(std::string_view unit) {
    constexpr std::string_view kPrefix = "snap.";
    constexpr std::string_view kSuffix = ".scope";
    if (!unit.starts_with(kPrefix) || !unit.ends_with(kSuffix)) return std::nullopt;
    std::string_view body =
        unit.substr(kPrefix.size(), unit.size() - kPrefix.size() - kSuffix.size());
    const std::size_t dot = body.find('.');
    if (dot == std::string_view::npos || body.size() < dot + 1 + 38) return std::nullopt;
    const std::string_view snap = body.substr(0, dot);
    std::string_view rest = body.substr(dot + 1);
    if (!isUuid(rest.substr(rest.size() - 36)) || rest[rest.size() - 37] != '-')
        return std::nullopt;
    const std::string_view app = rest.substr(0, rest.size() - 37);
    if (!isSnapName(snap) || !isSnapName(app)) return std::nullopt;
    return std::string(snap) + "_" + std::string(app);
}

}  // namespace

std::optional<std::string> appIdOfUnit(std::string_view unit) {
    if (unit.starts_with("dbus-")) return appIdOfActivatedUnit(unit);
    if (unit.starts_with("snap.")) return appIdOfSnapUnit(unit);
    constexpr std::string_view kPrefix = "app-";
    if (!unit.starts_with(kPrefix)) return std::nullopt;
    bool scope = unit.ends_with(".scope");
    if (!scope && !unit.ends_with(".service")) return std::nullopt;
    std::string_view body = unit.substr(kPrefix.size());
    body.remove_suffix(scope ? 6 : 8);
    if (!scope) {
        // A template instance: "@<random>" ends the app ID.
        std::size_t at = body.find('@');
        if (at != std::string_view::npos) body = body.substr(0, at);
    }
    auto pieces = splitDashes(body);
    if (scope) {
        if (pieces.size() < 2) return std::nullopt;
        pieces.pop_back();  // the random part that makes a scope unique
    }
    if (pieces.empty() || pieces.size() > 2) return std::nullopt;
    for (auto piece : pieces) {
        if (piece.empty()) return std::nullopt;
    }
    auto id = unescape(pieces.back());
    if (!id || id->empty() || id->find('/') != std::string::npos) return std::nullopt;
    return id;
}

std::optional<CgroupUnit> unitOfCgroup(std::string_view cgroupText) {
    std::size_t at = 0;
    while (at < cgroupText.size()) {
        std::size_t end = cgroupText.find('\n', at);
        if (end == std::string_view::npos) end = cgroupText.size();
        std::string_view line = cgroupText.substr(at, end - at);
        at = end + 1;
        if (!line.starts_with("0::")) continue;
        const std::string_view whole = line.substr(3);
        std::string_view path = whole;
        // The innermost unit wins: walk the path's components from the end.
        while (!path.empty()) {
            std::size_t slash = path.rfind('/');
            std::string_view component =
                slash == std::string_view::npos ? path : path.substr(slash + 1);
            if (component.ends_with(".scope") || component.ends_with(".service")) {
                CgroupUnit unit;
                unit.path = std::string(path);
                unit.appId = appIdOfUnit(component);
                unit.sessionSlice =
                    (std::string(whole) + "/").find("/session.slice/") != std::string::npos;
                return unit;
            }
            if (slash == std::string_view::npos) break;
            path = path.substr(0, slash);
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> appIdOfCgroup(std::string_view cgroupText) {
    auto unit = unitOfCgroup(cgroupText);
    return unit ? unit->appId : std::nullopt;
}

std::string escapeUnitPiece(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (char c : text) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '_' || c == '.' || c == ':';
        if (plain) {
            out += c;
        } else {
            auto byte = static_cast<unsigned char>(c);
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

}  // namespace vorsel::linux_platform
