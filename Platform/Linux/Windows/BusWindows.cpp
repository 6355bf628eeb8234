#include "Platform/Linux/Windows/BusWindows.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace vorsel::linux_platform {
namespace {

// Long enough for a busy compositor, short enough that a stopped one does
// not hold a pass up for long: the thread gives up on it and falls back.
constexpr std::uint64_t kCallTimeoutMicroseconds = 3'000'000;

}  // namespace

BusWindows::~BusWindows() {
    if (busConnection != nullptr) sd_bus_flush_close_unref(busConnection);
    if (events >= 0) ::close(events);
    if (wake >= 0) ::close(wake);
}

bool BusWindows::connect(const std::string& address) {
    int result = 0;
    if (address.empty()) {
        result = sd_bus_open_user(&busConnection);
    } else {
        result = sd_bus_new(&busConnection);
        if (result >= 0) result = sd_bus_set_address(busConnection, address.c_str());
        if (result >= 0) result = sd_bus_set_bus_client(busConnection, 1);
        if (result >= 0) result = sd_bus_start(busConnection);
    }
    if (result >= 0)
        result = sd_bus_set_method_call_timeout(busConnection, kCallTimeoutMicroseconds);
    if (result < 0) return false;
    socket = sd_bus_get_fd(busConnection);
    events = ::epoll_create1(EPOLL_CLOEXEC);
    wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (socket < 0 || events < 0 || wake < 0) return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = socket;
    if (::epoll_ctl(events, EPOLL_CTL_ADD, socket, &event) != 0) return false;
    event.data.fd = wake;
    return ::epoll_ctl(events, EPOLL_CTL_ADD, wake, &event) == 0;
}

sd_bus_message* BusWindows::call(sd_bus_message* method, std::string* error) {
    if (error != nullptr) error->clear();
    if (isBroken) return nullptr;
    sd_bus_error failure = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call(busConnection, method, 0, &failure, &reply);
    if (result < 0) {
        const bool remote = sd_bus_error_is_set(&failure) &&
                            !sd_bus_error_has_name(&failure, SD_BUS_ERROR_NO_REPLY) &&
                            !sd_bus_error_has_name(&failure, SD_BUS_ERROR_TIMEOUT);
        if (remote && error != nullptr) *error = failure.name;
        // No answer at all: the desktop stopped answering or the bus went.
        if (!remote) isBroken = true;
        sd_bus_error_free(&failure);
        return nullptr;
    }
    sd_bus_error_free(&failure);
    // Whatever came in while waiting now sits in the connection's queue.
    dispatch();
    return reply;
}

void BusWindows::dispatch() {
    if (busConnection == nullptr || isBroken) return;
    for (int round = 0; round < 1000; ++round) {
        const int result = sd_bus_process(busConnection, nullptr);
        if (result < 0) {
            isBroken = true;
            return;
        }
        if (result == 0) return;
    }
}

bool BusWindows::dispatchUntil(double seconds, const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    dispatch();
    while (!done() && !isBroken) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd localSocket{socket, POLLIN, 0};
        if (::poll(&localSocket, 1, static_cast<int>(left.count())) < 0) return false;
        dispatch();
    }
    return done();
}

bool BusWindows::appeared() {
    std::uint64_t count = 0;
    if (wake >= 0) (void)!::read(wake, &count, sizeof count);
    dispatch();
    if (wake >= 0) (void)!::read(wake, &count, sizeof count);
    const bool seen = hasAppeared;
    hasAppeared = false;
    return seen;
}

void BusWindows::noteAppeared() {
    hasAppeared = true;
    const std::uint64_t one = 1;
    if (wake >= 0) (void)!::write(wake, &one, sizeof one);
}

void BusWindows::shutdown() {
    isBroken = true;
    if (socket >= 0) ::shutdown(socket, SHUT_RDWR);
}

std::string BusWindows::ownerOf(const std::string& name) {
    sd_bus_message* method = nullptr;
    if (sd_bus_message_new_method_call(busConnection, &method, "org.freedesktop.DBus",
                                       "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                       "GetNameOwner") < 0)
        return {};
    std::string owner;
    if (sd_bus_message_append(method, "s", name.c_str()) >= 0) {
        if (sd_bus_message* reply = call(method)) {
            const char* unique = nullptr;
            if (sd_bus_message_read(reply, "s", &unique) >= 0 && unique != nullptr) owner = unique;
            sd_bus_message_unref(reply);
        }
    }
    sd_bus_message_unref(method);
    return owner;
}

}  // namespace vorsel::linux_platform
