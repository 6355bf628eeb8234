#include "Platform/Linux/Windows/Wayland/ForeignToplevelWindows.h"

#include <poll.h>
#include <sys/socket.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>

#include "foreign-toplevel-client.h"

namespace vorsel::linux_platform {
namespace {

// The newest version whose events this client understands.
constexpr std::uint32_t kVersion = 3;

class Windows;

struct Handle {
    Windows* owner = nullptr;
    zwlr_foreign_toplevel_handle_v1* proxy = nullptr;
    std::string id;
    std::string title;
    std::string appId;
    Handle* parent = nullptr;
    bool minimised = false;
    // The compositor has sent the first complete description.
    bool described = false;
    bool closed = false;
};

class Windows final : public DesktopWindows {
  public:
    explicit Windows(wl_display* display) : display_(display), fd_(wl_display_get_fd(display)) {}
    ~Windows() override;

    bool start();

    std::string name() const override { return "wlroots"; }
    std::vector<TopLevel> windows() override;
    bool close(const TopLevel& window) override;
    bool minimise(const TopLevel& window) override;
    int descriptor() const override { return broken_ ? -1 : fd_; }
    bool appeared() override;
    bool broken() const override { return broken_; }
    void shutdown() override {
        broken_ = true;
        ::shutdown(fd_, SHUT_RDWR);
    }

  private:
    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version);
    static void globalRemove(void*, wl_registry*, std::uint32_t) {}
    static void toplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                         zwlr_foreign_toplevel_handle_v1* proxy);
    static void finished(void* data, zwlr_foreign_toplevel_manager_v1*);

    static void title(void* data, zwlr_foreign_toplevel_handle_v1*, const char* text);
    static void appId(void* data, zwlr_foreign_toplevel_handle_v1*, const char* text);
    static void outputEnter(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
    static void outputLeave(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
    static void state(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states);
    static void done(void* data, zwlr_foreign_toplevel_handle_v1*);
    static void closedEvent(void* data, zwlr_foreign_toplevel_handle_v1*);
    static void parentEvent(void* data, zwlr_foreign_toplevel_handle_v1*,
                            zwlr_foreign_toplevel_handle_v1* parent);

    // Reads and handles what the compositor has sent, waiting at most
    // `timeoutMs` for it; false (and broken) when the connection failed.
    bool pump(int timeoutMs);
    // Waits until the compositor has handled every request so far.
    bool roundTrip();
    Handle* find(const std::string& id);
    void forget(Handle& handle);

    static const wl_registry_listener registryListener_;
    static const zwlr_foreign_toplevel_manager_v1_listener managerListener_;
    static const zwlr_foreign_toplevel_handle_v1_listener handleListener_;

    wl_display* display_;
    int fd_;
    wl_registry* registry_ = nullptr;
    zwlr_foreign_toplevel_manager_v1* manager_ = nullptr;
    std::list<Handle> handles_;
    std::uint64_t nextId_ = 1;
    bool appeared_ = false;
    wl_callback* sync_ = nullptr;  // the round trip waited for
    bool answered_ = false;
    std::atomic<bool> broken_{false};
};

const wl_registry_listener Windows::registryListener_ = {&Windows::global, &Windows::globalRemove};
const zwlr_foreign_toplevel_manager_v1_listener Windows::managerListener_ = {&Windows::toplevel,
                                                                             &Windows::finished};
const zwlr_foreign_toplevel_handle_v1_listener Windows::handleListener_ = {
    &Windows::title, &Windows::appId, &Windows::outputEnter, &Windows::outputLeave,
    &Windows::state, &Windows::done,  &Windows::closedEvent, &Windows::parentEvent};

Windows::~Windows() {
    if (sync_ != nullptr) wl_callback_destroy(sync_);
    for (Handle& handle : handles_) zwlr_foreign_toplevel_handle_v1_destroy(handle.proxy);
    if (manager_ != nullptr) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(manager_));
    if (registry_ != nullptr) wl_registry_destroy(registry_);
    wl_display_disconnect(display_);
}

bool Windows::start() {
    registry_ = wl_display_get_registry(display_);
    if (registry_ == nullptr) return false;
    wl_registry_add_listener(registry_, &registryListener_, this);
    // The globals, then the windows the manager lists on binding.
    if (!roundTrip() || manager_ == nullptr || !roundTrip()) return false;
    appeared_ = false;
    return true;
}

void Windows::global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                     std::uint32_t version) {
    auto* self = static_cast<Windows*>(data);
    if (self->manager_ != nullptr ||
        std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) != 0)
        return;
    self->manager_ = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
        registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min(version, kVersion)));
    if (self->manager_ != nullptr)
        zwlr_foreign_toplevel_manager_v1_add_listener(self->manager_, &managerListener_, self);
}

void Windows::toplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                       zwlr_foreign_toplevel_handle_v1* proxy) {
    auto* self = static_cast<Windows*>(data);
    Handle& handle = self->handles_.emplace_back();
    handle.owner = self;
    handle.proxy = proxy;
    handle.id = "wlr-" + std::to_string(self->nextId_++);
    zwlr_foreign_toplevel_handle_v1_add_listener(proxy, &handleListener_, &handle);
}

void Windows::finished(void* data, zwlr_foreign_toplevel_manager_v1*) {
    // The compositor stopped telling (it is going away): nothing listed
    // from now on would be true.
    static_cast<Windows*>(data)->broken_ = true;
}

void Windows::title(void* data, zwlr_foreign_toplevel_handle_v1*, const char* text) {
    static_cast<Handle*>(data)->title = text != nullptr ? text : "";
}

void Windows::appId(void* data, zwlr_foreign_toplevel_handle_v1*, const char* text) {
    static_cast<Handle*>(data)->appId = text != nullptr ? text : "";
}

void Windows::state(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
    auto* handle = static_cast<Handle*>(data);
    handle->minimised = false;
    const std::size_t count = states->size / sizeof(std::uint32_t);
    const auto* values = static_cast<const std::uint32_t*>(states->data);
    for (std::size_t i = 0; i < count; ++i) {
        if (values[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED) handle->minimised = true;
    }
}

void Windows::done(void* data, zwlr_foreign_toplevel_handle_v1*) {
    auto* handle = static_cast<Handle*>(data);
    // A window counts as new once the compositor has described it.
    if (!handle->described) handle->owner->appeared_ = true;
    handle->described = true;
}

void Windows::closedEvent(void* data, zwlr_foreign_toplevel_handle_v1*) {
    static_cast<Handle*>(data)->closed = true;
}

void Windows::parentEvent(void* data, zwlr_foreign_toplevel_handle_v1*,
                          zwlr_foreign_toplevel_handle_v1* parent) {
    auto* handle = static_cast<Handle*>(data);
    handle->parent =
        parent != nullptr
            ? static_cast<Handle*>(zwlr_foreign_toplevel_handle_v1_get_user_data(parent))
            : nullptr;
}

bool Windows::pump(int timeoutMs) {
    if (broken_) return false;
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0) {
            broken_ = true;
            return false;
        }
    }
    wl_display_flush(display_);
    pollfd ready{fd_, POLLIN, 0};
    int polled;
    do {
        polled = ::poll(&ready, 1, timeoutMs);
    } while (polled < 0 && errno == EINTR);
    if (polled > 0) {
        wl_display_read_events(display_);
    } else {
        wl_display_cancel_read(display_);
        if (polled == 0 && timeoutMs > 0) broken_ = true;  // the compositor stopped answering
    }
    if (wl_display_dispatch_pending(display_) < 0 || wl_display_get_error(display_) != 0)
        broken_ = true;
    // Windows the compositor has closed are dropped once their last event
    // has been handled.
    for (auto it = handles_.begin(); it != handles_.end();) {
        auto next = std::next(it);
        if (it->closed) forget(*it);
        it = next;
    }
    return !broken_;
}

bool Windows::roundTrip() {
    static const wl_callback_listener listener = {
        [](void* data, wl_callback* callback, std::uint32_t) {
            auto* self = static_cast<Windows*>(data);
            self->answered_ = true;
            self->sync_ = nullptr;
            wl_callback_destroy(callback);
        }};
    if (broken_) return false;
    answered_ = false;
    sync_ = wl_display_sync(display_);
    if (sync_ == nullptr) {
        broken_ = true;
        return false;
    }
    wl_callback_add_listener(sync_, &listener, this);
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(ForeignToplevelWindows::kAnswerLimitMs);
    while (!answered_ && !broken_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            broken_ = true;
        else
            pump(static_cast<int>(left));
    }
    // A callback never answered stays in sync_ until the destructor: the
    // display, broken, is never read again.
    return answered_;
}

Handle* Windows::find(const std::string& id) {
    for (Handle& handle : handles_)
        if (handle.id == id && !handle.closed) return &handle;
    return nullptr;
}

void Windows::forget(Handle& handle) {
    for (Handle& other : handles_)
        if (other.parent == &handle) other.parent = nullptr;
    zwlr_foreign_toplevel_handle_v1_destroy(handle.proxy);
    handles_.remove_if([&](const Handle& each) { return &each == &handle; });
}

std::vector<TopLevel> Windows::windows() {
    std::vector<TopLevel> listed;
    if (!roundTrip()) return listed;
    for (const Handle& handle : handles_) {
        if (!handle.described || handle.closed) continue;
        TopLevel window;
        window.id = handle.id;
        window.windowClass = handle.appId;
        window.title = handle.title;
        window.dialog = handle.parent != nullptr;
        window.minimised = handle.minimised;
        listed.push_back(std::move(window));
    }
    return listed;
}

bool Windows::close(const TopLevel& window) {
    Handle* handle = broken_ ? nullptr : find(window.id);
    if (handle == nullptr) return false;
    zwlr_foreign_toplevel_handle_v1_close(handle->proxy);
    return wl_display_flush(display_) >= 0;
}

bool Windows::minimise(const TopLevel& window) {
    Handle* handle = broken_ ? nullptr : find(window.id);
    if (handle == nullptr) return false;
    zwlr_foreign_toplevel_handle_v1_set_minimized(handle->proxy);
    return wl_display_flush(display_) >= 0;
}

bool Windows::appeared() {
    if (!pump(0)) return false;
    const bool appeared = appeared_;
    appeared_ = false;
    return appeared;
}

}  // namespace

std::unique_ptr<DesktopWindows> ForeignToplevelWindows::open(const std::string& display) {
    if (display.empty()) return nullptr;
    wl_display* connection = wl_display_connect(display.c_str());
    if (connection == nullptr) return nullptr;
    auto windows = std::make_unique<Windows>(connection);
    if (!windows->start()) return nullptr;
    return windows;
}

}  // namespace vorsel::linux_platform
