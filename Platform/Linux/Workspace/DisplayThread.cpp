#include "Platform/Linux/Workspace/DisplayThread.h"

#include <dlfcn.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace vorsel::linux_platform {

namespace {

// One look at the windows serves the jobs of one pass (hide, then
// terminate, for each app).
constexpr double kWindowsFresh = 0.2;
// A display that could not be opened is tried again only this often: a
// DISPLAY that leads nowhere must not cost a connect on every request.
constexpr double kDisplayRetry = 10.0;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string x11ModulePath() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return (executable.parent_path() / "vorsel-x11.so").string();
}

const std::vector<X11Window>& DisplayThread::Display::windows() {
    if (!listed_ || now() - listedAt_ > kWindowsFresh) {
        list_ = windows_ != nullptr ? windows_->windows() : std::vector<X11Window>{};
        // A display that went away since (a restarted X server) is seen only
        // when used: one more try at once on a new connection, so that the
        // app is not taken for one without windows.
        if (windows_ != nullptr && windows_->broken() && reconnect_) {
            windows_ = reconnect_();
            list_ = windows_ != nullptr ? windows_->windows() : std::vector<X11Window>{};
        }
        listed_ = true;
        listedAt_ = now();
    }
    return list_;
}

struct DisplayThread::State {
    RunLoop* runLoop = nullptr;
    std::string module;
    std::string display;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool started = false;
    bool stopping = false;  // the owner has gone: nothing more is posted
    int descriptor = -1;    // the open connection's socket
};

DisplayThread::DisplayThread(RunLoop& runLoop, std::string module, std::string display)
    : state_(std::make_shared<State>()) {
    state_->runLoop = &runLoop;
    state_->module = std::move(module);
    state_->display = std::move(display);
    try {
        std::thread([state = state_] { serve(state); }).detach();
        state_->started = true;
    } catch (const std::system_error&) {
        // No thread to be had: every job finds no display.
    }
}

DisplayThread::~DisplayThread() {
    std::lock_guard<std::mutex> held(state_->mutex);
    state_->stopping = true;
    state_->jobs.clear();
    // Under the lock: the thread forgets the socket under it before closing
    // it, so this never reaches a descriptor reused for something else.
    if (state_->descriptor >= 0) ::shutdown(state_->descriptor, SHUT_RDWR);
    state_->wake.notify_all();
}

void DisplayThread::run(Job job) {
    if (!state_->started) {
        Display none;
        if (auto answer = job(none)) state_->runLoop->post(std::move(answer));
        return;
    }
    std::lock_guard<std::mutex> held(state_->mutex);
    state_->jobs.push_back(std::move(job));
    state_->wake.notify_one();
}

bool DisplayThread::connected() const {
    std::lock_guard<std::mutex> held(state_->mutex);
    return state_->descriptor >= 0;
}

void DisplayThread::serve(const std::shared_ptr<State>& state) {
    void* module = ::dlopen(state->module.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto open = module != nullptr ? reinterpret_cast<VorselX11Open>(::dlsym(module, kX11OpenEntry))
                                  : nullptr;
    std::unique_ptr<X11Windows> windows;
    std::optional<double> failedAt;
    Display display;

    const auto forget = [&] {
        {
            std::lock_guard<std::mutex> held(state->mutex);
            state->descriptor = -1;
        }
        windows.reset();
        display.listed_ = false;
    };
    const auto connect = [&]() -> X11Windows* {
        if (windows && !windows->broken()) return windows.get();
        // A broken connection is replaced at once; a display that could not
        // be opened is tried again only after a while.
        if (windows) {
            forget();
            failedAt.reset();
        }
        if (open == nullptr || (failedAt && now() - *failedAt < kDisplayRetry)) return nullptr;
        windows.reset(open(state->display.c_str()));
        if (!windows) {
            failedAt = now();
            return nullptr;
        }
        std::lock_guard<std::mutex> held(state->mutex);
        state->descriptor = windows->descriptor();
        if (state->stopping) ::shutdown(state->descriptor, SHUT_RDWR);
        return windows.get();
    };
    display.reconnect_ = connect;

    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> held(state->mutex);
            state->wake.wait(held, [&] { return state->stopping || !state->jobs.empty(); });
            if (state->stopping) break;
            job = std::move(state->jobs.front());
            state->jobs.pop_front();
        }
        display.windows_ = connect();
        std::function<void()> answer = job(display);
        std::lock_guard<std::mutex> held(state->mutex);
        if (state->stopping) break;
        if (answer) state->runLoop->post(std::move(answer));
    }
    forget();
    // Nothing of the module is referred to any more: the connection is
    // closed, and jobs were made by the agent's own code.
    if (module != nullptr) ::dlclose(module);
}

}  // namespace vorsel::linux_platform
