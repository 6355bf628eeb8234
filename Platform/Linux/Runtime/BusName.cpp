#include "Platform/Linux/Runtime/BusName.h"

namespace vorsel::linux_platform {

namespace {

bool allowed(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

}  // namespace

std::string busName(std::string_view serviceName) {
    std::string name;
    size_t start = 0;
    while (start <= serviceName.size()) {
        size_t end = serviceName.find('.', start);
        if (end == std::string_view::npos) end = serviceName.size();
        std::string_view piece = serviceName.substr(start, end - start);
        if (!piece.empty()) {
            if (!name.empty()) name += '.';
            if (piece.front() >= '0' && piece.front() <= '9') name += '_';
            for (char c : piece) name += allowed(c) ? c : '_';
        }
        start = end + 1;
    }
    return name;
}

}  // namespace vorsel::linux_platform
