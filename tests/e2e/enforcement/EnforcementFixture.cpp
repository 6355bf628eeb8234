#include "EnforcementFixture.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <string_view>

namespace fs = std::filesystem;

namespace vorsel::e2e {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void EnforcementTest::SetUp() {
    ASSERT_TRUE(world.ready()) << world.problem();
    fs::create_directories(world.root() + "/apps");
    fs::create_directories(world.root() + "/bin");
    waiter = world.root() + "/bin/waiter";
    fs::copy_file(WAITER_PROGRAM, waiter);
}

std::string EnforcementTest::bundle(const testing::BundleSpec& spec) {
    return testing::makeBundle(world.root() + "/apps", spec, WAITER_PROGRAM);
}

std::unique_ptr<Process> EnforcementTest::start(const std::vector<std::string>& argv,
                                                const Environment& extra) {
    Environment environment = world.environment();
    for (const auto& [name, value] : extra) environment[name] = value;
    auto process = Process::start(argv, environment);
    EXPECT_NE(process, nullptr) << argv[0];
    return process;
}

std::unique_ptr<Process> EnforcementTest::startApp(const std::string& bundlePath,
                                                   const std::vector<std::string>& args,
                                                   const Environment& extra) {
    std::vector<std::string> argv{testing::bundleProgram(bundlePath)};
    argv.insert(argv.end(), args.begin(), args.end());
    auto process = start(argv, extra);
    if (process) {
        EXPECT_TRUE(testing::waitForExec(process->pid(), argv[0]));
    }
    return process;
}

void EnforcementTest::session(const std::vector<std::string>& options) {
    std::vector<std::string> args{"session"};
    args.insert(args.end(), options.begin(), options.end());
    Outcome outcome = world.standin(args);
    ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err << "\nagent:\n" << world.agentLog();
}

int EnforcementTest::termsIn(const std::string& log) const {
    std::string text = readText(log);
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

std::string EnforcementTest::installBrowserEntry(const std::string& id) {
    std::string folder = world.dataHome() + "/applications";
    fs::create_directories(folder);
    std::string path = folder + "/" + id + ".desktop";
    writeText(path, "[Desktop Entry]\nType=Application\nName=Browser\nExec=" + waiter +
                        " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n");
    Outcome updated = run({"/usr/bin/update-desktop-database", folder}, world.environment());
    EXPECT_EQ(updated.status, 0) << updated.err;
    return path;
}

bool EnforcementTest::mayCloseEverything() const {
    const passwd* user = ::getpwuid(::getuid());
    return user != nullptr && std::string_view(user->pw_name).starts_with("vorsel-test");
}

}  // namespace vorsel::e2e
