// A log that keeps every line with its level. Test thread only.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Log.h"

namespace vorsel::fakes {

class FakeLog final : public Log {
  public:
    struct Line {
        LogLevel level;
        std::string text;
        bool operator==(const Line&) const = default;
    };

    void write(LogLevel level, std::string_view message) override {
        lines.push_back({level, std::string(message)});
    }

    // How many lines read exactly `text`, at any level / at `level`.
    std::size_t count(std::string_view text) const {
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const Line& line) { return line.text == text; }));
    }
    std::size_t count(LogLevel level, std::string_view text) const {
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(),
            [&](const Line& line) { return line.level == level && line.text == text; }));
    }

    std::vector<Line> lines;
};

}  // namespace vorsel::fakes
