#include "Platform/Linux/Workspace/ExecTarget.h"

namespace vorsel::linux_platform {
namespace {

// Wrappers nest rarely; a few levels cover "env … sh -c 'exec …'".
constexpr int kMostWrappers = 4;

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view baseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// "NAME=value", as env and shells take it before the command.
bool isAssignment(std::string_view word) {
    const std::size_t equals = word.find('=');
    if (equals == 0 || equals == std::string_view::npos) return false;
    for (char c : word.substr(0, equals)) {
        const bool plain =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!plain) return false;
    }
    return word[0] < '0' || word[0] > '9';
}

// The words of a shell command up to its first operator, quotes removed.
// Only the command's program and plain arguments matter here, so anything a
// shell would expand is kept as written.
std::vector<std::string> shellWords(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (blank(c) || c == '\n') {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
            continue;
        }
        if (c == ';' || c == '&' || c == '|' || c == '<' || c == '>' || c == '(' || c == ')') break;
        inWord = true;
        if (c == '\\' && i + 1 < text.size()) {
            word += text[++i];
        } else if (c == '\'') {
            const std::size_t end = text.find('\'', i + 1);
            if (end == std::string_view::npos) return {};
            word.append(text.substr(i + 1, end - i - 1));
            i = end;
        } else if (c == '"') {
            std::size_t j = i + 1;
            for (; j < text.size() && text[j] != '"'; ++j) {
                if (text[j] == '\\' && j + 1 < text.size()) ++j;
                word += text[j];
            }
            if (j >= text.size()) return {};
            i = j;
        } else {
            word += c;
        }
    }
    if (inWord) words.push_back(std::move(word));
    return words;
}

// The command env runs: the words after its options and assignments, with
// the words of "-S" / "--split-string" first.
std::vector<std::string> afterEnv(const std::vector<std::string>& words) {
    std::vector<std::string> rest;
    std::size_t i = 1;
    for (; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--") {
            ++i;
            break;
        }
        if (word == "-u" || word == "--unset" || word == "-C" || word == "--chdir") {
            ++i;  // its value
            continue;
        }
        if (word == "-S" || word == "--split-string" || word.starts_with("--split-string=") ||
            (word.starts_with("-S") && word.size() > 2)) {
            std::string text;
            if (word == "-S" || word == "--split-string") {
                if (i + 1 < words.size()) text = words[++i];
            } else {
                text = word.substr(word.starts_with("-S") ? 2 : 15);
            }
            for (auto& split : shellWords(text)) rest.push_back(std::move(split));
            ++i;
            break;
        }
        if (word.starts_with('-') || isAssignment(word)) continue;
        break;
    }
    // Words from -S may themselves start with assignments.
    std::vector<std::string> out;
    for (auto& word : rest)
        if (!out.empty() || !isAssignment(word)) out.push_back(std::move(word));
    for (; i < words.size(); ++i) {
        if (out.empty() && isAssignment(words[i])) continue;
        out.push_back(words[i]);
    }
    return out;
}

// The command of "<shell> [options] -c 'command'", or nothing when `words`
// are not that form.
std::optional<std::vector<std::string>> shellCommand(const std::vector<std::string>& words) {
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "-c") {
            if (i + 1 >= words.size()) return std::vector<std::string>{};
            std::vector<std::string> command = shellWords(words[i + 1]);
            std::size_t skip = 0;
            while (skip < command.size() &&
                   (command[skip] == "exec" || isAssignment(command[skip])))
                ++skip;
            command.erase(command.begin(), command.begin() + static_cast<std::ptrdiff_t>(skip));
            return command;
        }
        // Options such as -l or -e may come before -c; anything else is a
        // script or an argument, and this is not the -c form.
        if (!words[i].starts_with('-') || words[i] == "--") return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::string>> splitExec(std::string_view value) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, dropped = false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (blank(c)) {
            if (inWord && !dropped) words.push_back(word);
            word.clear();
            inWord = dropped = false;
            continue;
        }
        inWord = true;
        if (c == '"') {
            std::size_t j = i + 1;
            for (; j < value.size() && value[j] != '"'; ++j) {
                const char next = j + 1 < value.size() ? value[j + 1] : '\0';
                if (value[j] == '\\' && (next == '"' || next == '`' || next == '$' || next == '\\'))
                    ++j;
                word += value[j];
            }
            if (j >= value.size()) return std::nullopt;
            i = j;
        } else if (c == '%' && i + 1 < value.size()) {
            // A field code is filled in at launch (or, when unknown, dropped,
            // as launchers do): never part of what is fixed.
            if (value[++i] == '%')
                word += '%';
            else
                dropped = true;
        } else {
            word += c;
        }
    }
    if (inWord && !dropped) words.push_back(word);
    return words;
}

std::optional<ExecTarget> execTarget(const std::vector<std::string>& given) {
    std::vector<std::string> words = given;
    for (int level = 0; level < kMostWrappers && !words.empty(); ++level) {
        const std::string_view name = baseName(words[0]);
        if (name == "env") {
            words = afterEnv(words);
        } else if (auto command = shellCommand(words)) {
            words = std::move(*command);
        } else {
            break;
        }
    }
    if (words.empty() || words[0].empty()) return std::nullopt;
    ExecTarget target;
    target.program = words[0];
    target.fixed.assign(words.begin() + 1, words.end());
    for (const auto& word : target.fixed) {
        if (word.starts_with('-')) continue;
        target.file = word;
        break;
    }
    return target;
}

std::optional<ExecTarget> execTargetOf(std::string_view value) {
    auto words = splitExec(value);
    if (!words) return std::nullopt;
    return execTarget(*words);
}

}  // namespace vorsel::linux_platform
