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
    explicit Windows(wl_display* display)
        : currentDisplay(display), fileDescriptor(wl_display_get_fd(display)) {}
    ~Windows() override;

    bool start();

    std::string name() const override { return "wlroots"; }
    std::vector<TopLevel> windows() override;
    bool close(const TopLevel& window) override;
    bool minimise(const TopLevel& window) override;
    int descriptor() const override { return isBroken ? -1 : fileDescriptor; }
    bool appeared() override;
    bool broken() const override { return isBroken; }
    void shutdown() override {
        isBroken = true;
        ::shutdown(fileDescriptor, SHUT_RDWR);
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

    static const wl_registry_listener registryListener;
    static const zwlr_foreign_toplevel_manager_v1_listener managerListener;
    static const zwlr_foreign_toplevel_handle_v1_listener handleListener;

    wl_display* currentDisplay;
    int fileDescriptor;
    wl_registry* registry = nullptr;
    zwlr_foreign_toplevel_manager_v1* manager = nullptr;
    std::list<Handle> handles;
    std::uint64_t nextId = 1;
    bool hasAppeared = false;
    wl_callback* sync = nullptr;  // the round trip waited for
    bool answered = false;
    std::atomic<bool> isBroken{false};
};

const wl_registry_listener Windows::registryListener = {&Windows::global, &Windows::globalRemove};
const zwlr_foreign_toplevel_manager_v1_listener Windows::managerListener = {&Windows::toplevel,
                                                                            &Windows::finished};
const zwlr_foreign_toplevel_handle_v1_listener Windows::handleListener = {
    &Windows::title, &Windows::appId, &Windows::outputEnter, &Windows::outputLeave,
    &Windows::state, &Windows::done,  &Windows::closedEvent, &Windows::parentEvent};

Windows::~Windows() {
    if (sync != nullptr) wl_callback_destroy(sync);
    for (Handle& handle : handles) zwlr_foreign_toplevel_handle_v1_destroy(handle.proxy);
    if (manager != nullptr) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(manager));
    if (registry != nullptr) wl_registry_destroy(registry);
    wl_display_disconnect(currentDisplay);
}

bool Windows::start() {
    registry = wl_display_get_registry(currentDisplay);
    if (registry == nullptr) return false;
    wl_registry_add_listener(registry, &registryListener, this);
    // The globals, then the windows the manager lists on binding.
    if (!roundTrip() || manager == nullptr || !roundTrip()) return false;
    hasAppeared = false;
    return true;
}

void Windows::global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                     std::uint32_t version) {
    auto* self = static_cast<Windows*>(data);
    if (self->manager != nullptr ||
        std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) != 0)
        return;
    self->manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
        registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min(version, kVersion)));
    if (self->manager != nullptr)
        zwlr_foreign_toplevel_manager_v1_add_listener(self->manager, &managerListener, self);
}

void Windows::toplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                       zwlr_foreign_toplevel_handle_v1* proxy) {
    auto* self = static_cast<Windows*>(data);
    Handle& handle = self->handles.emplace_back();
    handle.owner = self;
    handle.proxy = proxy;
    handle.id = "wlr-" + std::to_string(self->nextId++);
    zwlr_foreign_toplevel_handle_v1_add_listener(proxy, &handleListener, &handle);
}

void Windows::finished(void* data, zwlr_foreign_toplevel_manager_v1*) {
    // The compositor stopped telling (it is going away): nothing listed
    // from now on would be true.
    static_cast<Windows*>(data)->isBroken = true;
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
    if (!handle->described) handle->owner->hasAppeared = true;
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
    if (isBroken) return false;
    while (wl_display_prepare_read(currentDisplay) != 0) {
        if (wl_display_dispatch_pending(currentDisplay) < 0) {
            isBroken = true;
            return false;
        }
    }
    wl_display_flush(currentDisplay);
    pollfd ready{fileDescriptor, POLLIN, 0};
    int polled;
    do {
        polled = ::poll(&ready, 1, timeoutMs);
    } while (polled < 0 && errno == EINTR);
    if (polled > 0) {
        wl_display_read_events(currentDisplay);
    } else {
        wl_display_cancel_read(currentDisplay);
        if (polled == 0 && timeoutMs > 0) isBroken = true;  // the compositor stopped answering
    }
    if (wl_display_dispatch_pending(currentDisplay) < 0 ||
        wl_display_get_error(currentDisplay) != 0)
        isBroken = true;
    // Windows the compositor has closed are dropped once their last event
    // has been handled.
    for (auto it = handles.begin(); it != handles.end();) {
        auto next = std::next(it);
        if (it->closed) forget(*it);
        it = next;
    }
    return !isBroken;
}

bool Windows::roundTrip() {
    static const wl_callback_listener listener = {
        [](void* data, wl_callback* callback, std::uint32_t) {
            auto* self = static_cast<Windows*>(data);
            self->answered = true;
            self->sync = nullptr;
            wl_callback_destroy(callback);
        }};
    if (isBroken) return false;
    answered = false;
    sync = wl_display_sync(currentDisplay);
    if (sync == nullptr) {
        isBroken = true;
        return false;
    }
    wl_callback_add_listener(sync, &listener, this);
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(ForeignToplevelWindows::kAnswerLimitMs);
    while (!answered && !isBroken) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            isBroken = true;
        else
            pump(static_cast<int>(left));
    }
    // A callback never answered stays in sync until the destructor: the
    // display, broken, is never read again.
    return answered;
}

Handle* Windows::find(const std::string& id) {
    for (Handle& handle : handles)
        if (handle.id == id && !handle.closed) return &handle;
    return nullptr;
}

void Windows::forget(Handle& handle) {
    for (Handle& other : handles)
        if (other.parent == &handle) other.parent = nullptr;
    zwlr_foreign_toplevel_handle_v1_destroy(handle.proxy);
    handles.remove_if([&](const Handle& each) { return &each == &handle; });
}

std::vector<TopLevel> Windows::windows() {
    std::vector<TopLevel> listed;
    if (!roundTrip()) return listed;
    for (const Handle& handle : handles) {
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
    Handle* handle = isBroken ? nullptr : find(window.id);
    if (handle == nullptr) return false;
    zwlr_foreign_toplevel_handle_v1_close(handle->proxy);
    return wl_display_flush(currentDisplay) >= 0;
}

bool Windows::minimise(const TopLevel& window) {
    Handle* handle = isBroken ? nullptr : find(window.id);
    if (handle == nullptr) return false;
    zwlr_foreign_toplevel_handle_v1_set_minimized(handle->proxy);
    return wl_display_flush(currentDisplay) >= 0;
}

bool Windows::appeared() {
    if (!pump(0)) return false;
    const bool appeared = hasAppeared;
    hasAppeared = false;
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
