// Strict validation of a 50 MB signed bundle (every file hashed, signature
// and requirement checked) against `sha256sum` of the same files, and the
// agent's cache hit (the seal's modification date, compared with the one
// remembered). Page cache warm for both. Prints figures; never fails on
// slowness.
//
//   signing_bench [--megabytes 50] [--rounds 5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "Guard/Rules/GuardRules.h"
#include "Platform/Linux/Signing/LinuxCodeSigning.h"
#include "tests/e2e/support/E2eWorld.h"

namespace fs = std::filesystem;
using namespace vorsel;
using SteadyClock = std::chrono::steady_clock;

namespace {

double medianMicros(int rounds, const std::function<bool()>& work, bool* allGood) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = SteadyClock::now();
        const bool good = work();
        times.push_back(
            std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
        if (!good) *allGood = false;
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Fills `bundle`'s Resources with `megabytes` of incompressible data: a few
// large files and many small ones, as an app's resources are.
std::vector<std::string> fill(const std::string& bundle, int megabytes) {
    const std::string resources = bundle + "/Contents/Resources/bench";
    fs::create_directories(resources);
    std::mt19937_64 random(1);
    auto write = [&](const std::string& path, std::size_t size) {
        std::vector<std::uint64_t> words(size / 8);
        for (auto& word : words) word = random();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(words.data()),
                   static_cast<std::streamsize>(words.size() * 8));
    };
    const std::size_t total = static_cast<std::size_t>(megabytes) << 20;
    const std::size_t small = total / 5 / 2000;  // a fifth in 2000 small files
    for (int i = 0; i < 2000; ++i) write(resources + "/small" + std::to_string(i), small);
    for (int i = 0; i < 40; ++i)
        write(resources + "/large" + std::to_string(i), (total - total / 5) / 40);
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(bundle))
        if (entry.is_regular_file() && !entry.is_symlink()) files.push_back(entry.path());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    int megabytes = 50, rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--megabytes") megabytes = std::atoi(argv[i + 1]);
        if (std::string(argv[i]) == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    e2e::TempFolder folder("vorsel-signing-bench");
    const std::string team = "BENCHTEAM1";
    const e2e::Authority authority = e2e::makeAuthority(folder.path() + "/ca", team);
    if (!authority.made) {
        std::fprintf(stderr, "signing_bench: couldn't make an authority\n");
        return 1;
    }
    const std::string bundle = folder.path() + "/Ordwyn.app";
    fs::copy(ORDWYN_BUNDLE, bundle, fs::copy_options::recursive);
    std::vector<std::string> files = fill(bundle, megabytes);
    if (auto failed = e2e::sign(bundle, authority, "com.ordwyn.app"); !failed.empty()) {
        std::fprintf(stderr, "signing_bench: %s\n", failed.c_str());
        return 1;
    }
    files = {};
    std::uintmax_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(bundle))
        if (entry.is_regular_file() && !entry.is_symlink()) {
            files.push_back(entry.path());
            bytes += entry.file_size();
        }
    std::printf("bundle: %zu files, %.1f MB\n", files.size(), bytes / 1e6);

    linux_platform::LinuxCodeSigning signing(authority.root);
    const std::string requirement = GuardNames::appRequirement("com.ordwyn.app", team);
    std::vector<std::string> sha{"/usr/bin/sha256sum"};
    sha.insert(sha.end(), files.begin(), files.end());
    const e2e::Environment environment{{"PATH", "/usr/bin:/bin"}, {"LANG", "C"}};

    bool good = true;
    // Once each to warm the page cache.
    good = signing.satisfies(bundle, requirement);
    e2e::run(sha, environment);
    const double strict = medianMicros(
        rounds, [&] { return signing.satisfies(bundle, requirement); }, &good);
    const double baseline = medianMicros(
        rounds, [&] { return e2e::run(sha, environment, 600).status == 0; }, &good);
    const std::string seal = bundle + "/Contents/_CodeSignature/CodeResources";
    const auto remembered = signing.modificationDate(seal);
    const double hit = medianMicros(
        1000, [&] { return signing.modificationDate(seal) == remembered; }, &good);

    std::printf("strict validation: median %.1f ms over %d rounds (%.0f MB/s)\n", strict / 1e3,
                rounds, bytes / strict);
    std::printf("sha256sum of the same files: median %.1f ms (%.0f MB/s)\n", baseline / 1e3,
                bytes / baseline);
    std::printf("RATIO strict validation: %.2fx (target <= 1.3x) %s\n", strict / baseline,
                strict / baseline <= 1.3 ? "met" : "MISSED");
    std::printf("cache hit (seal date unchanged): median %.2f µs\n", hit);
    if (!good) std::printf("WARNING: a validation or sha256sum run failed\n");
    return good ? 0 : 1;
}
