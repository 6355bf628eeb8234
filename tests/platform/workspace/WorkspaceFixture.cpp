#include "WorkspaceFixture.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <thread>

namespace vorsel::testing {
namespace {

class CountedTimer final : public Timer {
  public:
    CountedTimer(std::unique_ptr<Timer> real, std::shared_ptr<int> givenLive)
        : real(std::move(real)), live(std::move(givenLive)) {
        ++*live;
    }
    ~CountedTimer() override { --*live; }
    void invalidate() override { real->invalidate(); }
    bool isValid() const override { return real->isValid(); }

  private:
    std::unique_ptr<Timer> real;
    std::shared_ptr<int> live;
};

}  // namespace

std::unique_ptr<Timer> CountingRunLoop::schedule(double interval, double tolerance, bool repeats,
                                                 std::function<void()> action) {
    return std::make_unique<CountedTimer>(
        real.schedule(interval, tolerance, repeats, std::move(action)), live);
}

WorkspaceTest::WorkspaceTest() { EXPECT_FALSE(dir.path().empty()); }

std::string WorkspaceTest::bundle(const BundleSpec& spec) {
    return makeBundle(dir.path(), spec, WAITER_PROGRAM);
}

Child WorkspaceTest::launch(const std::string& bundlePath, const std::vector<std::string>& args,
                            const std::map<std::string, std::string>& env) {
    std::vector<std::string> argv{bundleProgram(bundlePath)};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child = Child::start(argv, env);
    EXPECT_TRUE(waitForExec(child.pid(), argv[0])) << argv[0];
    return child;
}

std::shared_ptr<RunningApp> WorkspaceTest::appWithPid(pid_t pid) {
    for (auto& app : workspace.runningApps()) {
        if (app->processIdentifier() == pid) return app;
    }
    return nullptr;
}

bool WorkspaceTest::spinUntil(const std::function<bool()>& condition, double timeout) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace vorsel::testing
