#include "Platform/Linux/Install/ActivationExec.h"

namespace vorsel::linux_platform {

namespace {

bool hasControl(const std::string& word) {
    for (unsigned char c : word) {
        if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
}

bool plain(const std::string& word) {
    if (word.empty()) return false;
    for (char c : word) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-' ||
                        c == '+' || c == ',' || c == ':' || c == '@' || c == '=';
        if (!ok) return false;
    }
    return true;
}

// Shell quoting inside double quotes, then the key file's own backslash
// escape on top, because the bus daemon undoes that one first.
std::string busWord(const std::string& word) {
    if (plain(word)) return word;
    std::string shell = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') shell += '\\';
        shell += c;
    }
    shell += '"';
    std::string escaped;
    for (char c : shell) {
        if (c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// systemd expands "%x" specifiers and "$NAME" variables even inside quotes.
std::string unitWord(const std::string& word) {
    if (plain(word)) return word;
    std::string quoted = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        if (c == '$') quoted += '$';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

template <typename Quote>
std::optional<std::string> joined(const std::vector<std::string>& words, Quote quote) {
    std::string line;
    for (const auto& word : words) {
        if (hasControl(word)) return std::nullopt;
        if (!line.empty()) line += ' ';
        line += quote(word);
    }
    return line;
}

std::optional<std::string> keyFileUnescaped(std::string_view value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            out += value[i];
            continue;
        }
        if (++i == value.size()) return std::nullopt;
        switch (value[i]) {
            case 's':
                out += ' ';
                break;
            case 't':
                out += '\t';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                return std::nullopt;
        }
    }
    return out;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

}  // namespace

std::optional<std::string> busExec(const std::vector<std::string>& words) {
    return joined(words, busWord);
}

std::optional<std::string> unitExec(const std::vector<std::string>& words) {
    return joined(words, unitWord);
}

std::optional<std::string> busExecProgram(std::string_view value) {
    const auto line = keyFileUnescaped(value);
    if (!line) return std::nullopt;
    size_t i = 0;
    while (i < line->size() && blank((*line)[i])) ++i;
    std::string word;
    bool any = false;
    for (; i < line->size() && !blank((*line)[i]); ++i) {
        const char c = (*line)[i];
        any = true;
        if (c == '\'') {
            const size_t end = line->find('\'', i + 1);
            if (end == std::string::npos) return std::nullopt;
            word += line->substr(i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i >= line->size()) return std::nullopt;
                char d = (*line)[i];
                if (d == '"') break;
                if (d == '\\' && i + 1 < line->size()) {
                    const char next = (*line)[i + 1];
                    if (next == '"' || next == '\\' || next == '$' || next == '`') {
                        d = next;
                        ++i;
                    } else if (next == '\n') {
                        ++i;
                        continue;
                    }
                }
                word += d;
            }
        } else if (c == '\\') {
            if (++i == line->size()) return std::nullopt;
            if ((*line)[i] != '\n') word += (*line)[i];
        } else {
            word += c;
        }
    }
    if (!any) return std::nullopt;
    return word;
}

}  // namespace vorsel::linux_platform
