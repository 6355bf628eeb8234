#include "Platform/Linux/Workspace/KeyFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vorsel::linux_platform {
namespace {

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

KeyFileGroups parseKeyFile(std::string_view text, const std::vector<std::string>& groups) {
    KeyFileGroups found;
    std::map<std::string, std::string>* current = nullptr;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            current = nullptr;
            if (line.back() != ']') continue;
            const std::string name(line.substr(1, line.size() - 2));
            if (std::find(groups.begin(), groups.end(), name) != groups.end())
                current = &found[name];
            continue;
        }
        const std::size_t equals = line.find('=');
        if (current == nullptr || equals == std::string_view::npos) continue;
        const std::string_view key = trimmed(line.substr(0, equals));
        // Localised variants ("Name[de]") are not what this system reads.
        if (key.empty() || key.find('[') != std::string_view::npos) continue;
        current->emplace(std::string(key), std::string(trimmed(line.substr(equals + 1))));
    }
    return found;
}

std::optional<std::string> readKeyFileText(const std::string& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[8192];
    bool failed = false;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || text.size() + static_cast<std::size_t>(got) > limit) {
            failed = true;
            break;
        }
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (failed) return std::nullopt;
    return text;
}

std::string keyFileString(std::string_view raw) {
    std::string value;
    value.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            value.push_back(raw[i]);
            continue;
        }
        switch (raw[++i]) {
            case 's':
                value.push_back(' ');
                break;
            case 'n':
                value.push_back('\n');
                break;
            case 't':
                value.push_back('\t');
                break;
            case 'r':
                value.push_back('\r');
                break;
            case '\\':
                value.push_back('\\');
                break;
            default:
                value.push_back('\\');
                value.push_back(raw[i]);
        }
    }
    return value;
}

std::vector<std::string> keyFileList(std::string_view raw) {
    std::vector<std::string> items;
    std::string item;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == ';') {
            item.push_back(';');
            ++i;
        } else if (raw[i] == '\\' && i + 1 < raw.size()) {
            item.append(raw.substr(i, 2));
            ++i;
        } else if (raw[i] == ';') {
            if (!item.empty()) items.push_back(keyFileString(item));
            item.clear();
        } else {
            item.push_back(raw[i]);
        }
    }
    if (!item.empty()) items.push_back(keyFileString(item));
    return items;
}

bool keyFileBoolean(std::string_view raw) { return raw == "true" || raw == "1"; }

}  // namespace vorsel::linux_platform
