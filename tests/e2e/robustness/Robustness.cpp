#include "Robustness.h"

#include <fstream>
#include <random>
#include <sstream>

namespace vorsel::e2e {

std::string sessionRules(const E2eWorld& world, const std::vector<std::string>& options) {
    std::vector<std::string> args{"session"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("--print");
    const Outcome printed = world.standin(args);
    if (printed.status != 0 || printed.out.empty()) return {};
    return printed.out.substr(0, printed.out.find('\n'));
}

std::optional<long> residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return std::nullopt;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) lines.push_back(line);
    return lines;
}

namespace {

const std::string kValid =
    R"({"closing":"listed","apps":["com.example.chat","com.example.game"],"closingEnds":600,)"
    R"("keepOpen":{"bundleID":"com.ordwyn.app","path":"/opt/Ordwyn.app","until":900}})";

// Valid rules with one member's value swapped for a value of the wrong type.
const std::vector<std::string> kWrongTypes = {
    R"({"closing":5,"apps":[],"closingEnds":600})",
    R"({"closing":"listed","apps":"com.example.chat","closingEnds":600})",
    R"({"closing":"listed","apps":[1,2,3],"closingEnds":600})",
    R"({"closing":"listed","apps":["a",null],"closingEnds":600})",
    R"({"closing":"listed","apps":[],"closingEnds":"soon"})",
    R"({"closing":"listed","apps":[],"closingEnds":[600]})",
    R"({"closing":"listed","apps":[],"closingEnds":600,"keepOpen":[]})",
    R"({"closing":"listed","apps":[],"closingEnds":600,"keepOpen":{"bundleID":1,"path":"/p","until":9}})",
    R"({"closing":"listed","apps":[],"closingEnds":600,"keepOpen":{"bundleID":"a","path":{},"until":9}})",
    R"({"closing":"listed","apps":[],"closingEnds":600,"keepOpen":{"bundleID":"a","path":"/p","until":"9"}})",
    R"({"closing":{"listed":true},"apps":[],"closingEnds":600})",
    R"({"closing":"listed","apps":{"0":"a"},"closingEnds":600})",
    R"({"closing":true,"closingEnds":false})",
};

const std::vector<std::string> kNotObjects = {
    "",
    " ",
    "null",
    "true",
    "0",
    "-1e999",
    "\"rules\"",
    "[]",
    "[{}]",
    "[" + kValid + "]",
    "\xef\xbb\xbf",
    "{",
    "}",
    "{\"closing\"",
    "{\"closing\":}",
    "{,}",
    "{\"a\":1,}",
    "{'a':1}",
    "NaN",
    "{\"closingEnds\":NaN}",
    "{\"closingEnds\":Infinity}",
    "/* */{}",
    kValid + kValid,
    kValid + "x",
    std::string("{\"closing\":\"listed\"\0}", 21),
};

}  // namespace

std::vector<std::string> malformedPayloads(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    auto below = [&random](std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
    };
    std::vector<std::string> payloads;
    payloads.insert(payloads.end(), kWrongTypes.begin(), kWrongTypes.end());
    payloads.insert(payloads.end(), kNotObjects.begin(), kNotObjects.end());
    // Nesting deep enough to break a recursive reader or destructor.
    for (std::size_t depth : {1000u, 100000u, 1000000u}) {
        payloads.push_back(std::string(depth, '[') + std::string(depth, ']'));
        std::string objects;
        for (std::size_t i = 0; i < depth / 10; ++i) objects += "{\"apps\":";
        payloads.push_back(objects + "[]" + std::string(depth / 10, '}'));
    }
    payloads.push_back(R"({"closing":"listed","apps":[")" + std::string("\xff\xfe\xc0\x80") +
                       R"("],"closingEnds":600})");
    payloads.push_back(R"({"closing":"listed","apps":["\ud800"],"closingEnds":600})");
    payloads.push_back(R"({"closing":"listed","apps":[],"closingEnds":1e400,"keepOpen":[)");

    while (payloads.size() < count) {
        switch (below(4)) {
            case 0: {  // random bytes
                std::string bytes(below(600), '\0');
                for (char& c : bytes) c = static_cast<char>(below(256));
                payloads.push_back(bytes);
                break;
            }
            case 1:  // valid rules cut short
                payloads.push_back(kValid.substr(0, 1 + below(kValid.size() - 1)));
                break;
            case 2: {  // a wrong-type case with a byte flipped into a control character
                std::string text = kWrongTypes[below(kWrongTypes.size())];
                text[below(text.size())] = static_cast<char>(below(32));
                payloads.push_back(text);
                break;
            }
            default: {  // valid rules with a structural character removed
                std::string text = kValid;
                std::size_t at;
                do at = below(text.size());
                while (std::string("{}[]:,\"").find(text[at]) == std::string::npos);
                text.erase(at, 1);
                payloads.push_back(text);
                break;
            }
        }
    }
    payloads.resize(count);
    return payloads;
}

}  // namespace vorsel::e2e
