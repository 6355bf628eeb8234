#include "Platform/Linux/Windows/Wayland/SwayWindows.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

namespace vorsel::linux_platform {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kMagic = "i3-ipc";
constexpr std::size_t kHeader = kMagic.size() + 8;
// Far above any real window tree; a peer announcing more is not sway.
constexpr std::uint32_t kLargest = 64u << 20;
// Events carry the type's high bit; window events are type 3.
constexpr std::uint32_t kWindowEvent = 0x80000003u;

// A member's text, or empty; whatever sway (or an impostor) sent, no
// exception leaves here.
std::string text(const Json& node, const char* key) {
    if (!node.is_object()) return {};
    const auto it = node.find(key);
    return it != node.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool succeeded(const Json& node) {
    if (!node.is_object()) return false;
    const auto it = node.find("success");
    return it != node.end() && it->is_boolean() && it->get<bool>();
}

struct Frame {
    std::uint32_t type = 0;
    std::string payload;
};

// Takes one whole frame off the front of `buffer`, if it holds one. False
// with `bad` set when the bytes are not the protocol's.
std::optional<Frame> takeFrame(std::string& buffer, bool& bad) {
    if (buffer.size() < kHeader) return std::nullopt;
    if (std::string_view(buffer).substr(0, kMagic.size()) != kMagic) {
        bad = true;
        return std::nullopt;
    }
    std::uint32_t length = 0;
    Frame frame;
    std::memcpy(&length, buffer.data() + kMagic.size(), 4);
    std::memcpy(&frame.type, buffer.data() + kMagic.size() + 4, 4);
    if (length > kLargest) {
        bad = true;
        return std::nullopt;
    }
    if (buffer.size() < kHeader + length) return std::nullopt;
    frame.payload = buffer.substr(kHeader, length);
    buffer.erase(0, kHeader + length);
    return frame;
}

int connectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Waits until `fd` is ready for `events` or `until` passes.
bool waitFor(int fd, short events, Clock::time_point until) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        pollfd ready{fd, events, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(left));
        if (polled > 0) return true;
        if (polled < 0 && errno != EINTR) return false;
    }
}

class Windows final : public DesktopWindows {
  public:
    Windows(int commands, int events) : commands(commands), events(events) {}
    ~Windows() override {
        ::close(commands);
        ::close(events);
    }

    bool start();

    std::string name() const override { return "sway"; }
    std::vector<TopLevel> windows() override;
    bool close(const TopLevel& window) override { return command(window, "kill"); }
    bool minimise(const TopLevel& window) override { return command(window, "move scratchpad"); }
    int descriptor() const override { return isBroken ? -1 : events; }
    bool appeared() override;
    bool broken() const override { return isBroken; }
    void shutdown() override {
        isBroken = true;
        ::shutdown(commands, SHUT_RDWR);
        ::shutdown(events, SHUT_RDWR);
    }

  private:
    // Sends one message on `fd` and waits for the reply of the same type.
    std::optional<std::string> ask(int fd, std::string& buffer, SwayWindows::Message type,
                                   std::string_view payload);
    bool command(const TopLevel& window, const std::string& what);
    bool fail() {
        isBroken = true;
        return false;
    }

    int commands;
    int events;
    std::string commandBuffer;
    std::string eventBuffer;
    std::atomic<bool> isBroken{false};
};

bool Windows::start() {
    const auto subscribed =
        ask(events, eventBuffer, SwayWindows::Message::subscribe, R"(["window"])");
    if (!subscribed || !succeeded(Json::parse(*subscribed, nullptr, false))) return false;
    // The tree answers too: this is sway, not only something speaking its
    // framing.
    return ask(commands, commandBuffer, SwayWindows::Message::getTree, {}).has_value();
}

std::optional<std::string> Windows::ask(int fd, std::string& buffer, SwayWindows::Message type,
                                        std::string_view payload) {
    if (isBroken) return std::nullopt;
    const auto until = Clock::now() + std::chrono::milliseconds(SwayWindows::kAnswerLimitMs);
    const std::string out = SwayWindows::frame(type, payload);
    for (std::size_t sent = 0; sent < out.size();) {
        const ssize_t wrote = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (wrote > 0) {
            sent += static_cast<std::size_t>(wrote);
        } else if (wrote < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!waitFor(fd, POLLOUT, until)) return fail(), std::nullopt;
        } else {
            return fail(), std::nullopt;
        }
    }
    for (;;) {
        bool bad = false;
        while (auto frame = takeFrame(buffer, bad)) {
            // Replies come in the order asked, one per request; only the
            // command socket is asked after the subscription, so no event
            // is ever passed over here.
            if (frame->type == static_cast<std::uint32_t>(type)) return frame->payload;
        }
        if (bad || !waitFor(fd, POLLIN, until)) return fail(), std::nullopt;
        char chunk[65536];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return fail(), std::nullopt;
        if (got > 0) buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

const Json* member(const Json& node, const char* key) {
    const auto it = node.find(key);
    return it != node.end() ? &*it : nullptr;
}

// Deeper than any real tree of outputs, workspaces and nested containers.
constexpr int kDeepest = 64;

// The windows under `node`, which is in the scratchpad when `hidden`, and
// whether each floats.
void collect(const Json& node, int depth, bool hidden, bool floating, std::vector<TopLevel>& into,
             std::vector<bool>& floats) {
    if (!node.is_object() || depth > kDeepest) return;
    if (text(node, "type") == "workspace" && text(node, "name") == "__i3_scratch") hidden = true;
    const Json* pid = member(node, "pid");
    const Json* id = member(node, "id");
    if (pid != nullptr && pid->is_number_integer() && id != nullptr && id->is_number_integer() &&
        text(node, "shell") == "xdg_shell") {
        TopLevel window;
        window.id = std::to_string(id->get<std::int64_t>());
        const auto number = pid->get<std::int64_t>();
        window.pid = number > 0 && number <= INT32_MAX ? static_cast<pid_t>(number) : 0;
        window.windowClass = text(node, "app_id");
        window.title = text(node, "name");
        window.minimised = hidden;
        into.push_back(std::move(window));
        floats.push_back(floating);
    }
    for (const char* children : {"nodes", "floating_nodes"}) {
        const Json* list = member(node, children);
        if (list == nullptr || !list->is_array()) continue;
        const bool floated = std::strcmp(children, "floating_nodes") == 0;
        for (const Json& child : *list) collect(child, depth + 1, hidden, floated, into, floats);
    }
}

std::vector<TopLevel> Windows::windows() {
    std::vector<TopLevel> listed;
    const auto tree = ask(commands, commandBuffer, SwayWindows::Message::getTree, {});
    if (!tree) return listed;
    const Json root = Json::parse(*tree, nullptr, false);
    if (root.is_discarded()) {
        fail();
        return listed;
    }
    std::vector<bool> floats;
    collect(root, 0, false, false, listed, floats);
    std::set<pid_t> tiled;
    for (std::size_t i = 0; i < listed.size(); ++i)
        if (!floats[i]) tiled.insert(listed[i].pid);
    for (std::size_t i = 0; i < listed.size(); ++i)
        listed[i].dialog = floats[i] && tiled.count(listed[i].pid) != 0;
    return listed;
}

bool Windows::command(const TopLevel& window, const std::string& what) {
    // Ids are sway's own numbers, as windows() listed them.
    if (window.id.empty() || window.id.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const auto reply = ask(commands, commandBuffer, SwayWindows::Message::runCommand,
                           "[con_id=" + window.id + "] " + what);
    if (!reply) return false;
    const Json results = Json::parse(*reply, nullptr, false);
    if (!results.is_array() || results.empty()) return false;
    for (const Json& result : results)
        if (!succeeded(result)) return false;
    return true;
}

bool Windows::appeared() {
    if (isBroken) return false;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::recv(events, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            eventBuffer.append(chunk, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return fail();
        break;
    }
    bool appeared = false, bad = false;
    while (auto frame = takeFrame(eventBuffer, bad)) {
        if (frame->type != kWindowEvent) continue;
        const Json event = Json::parse(frame->payload, nullptr, false);
        if (text(event, "change") == "new") appeared = true;
    }
    if (bad) fail();
    return appeared;
}

}  // namespace

std::string SwayWindows::frame(Message type, std::string_view payload) {
    std::string out(kMagic);
    const auto length = static_cast<std::uint32_t>(payload.size());
    const auto kind = static_cast<std::uint32_t>(type);
    out.append(reinterpret_cast<const char*>(&length), 4);
    out.append(reinterpret_cast<const char*>(&kind), 4);
    out.append(payload);
    return out;
}

std::unique_ptr<DesktopWindows> SwayWindows::open(const std::string& path) {
    const int commands = connectTo(path);
    if (commands < 0) return nullptr;
    const int events = connectTo(path);
    if (events < 0) {
        ::close(commands);
        return nullptr;
    }
    auto windows = std::make_unique<Windows>(commands, events);
    if (!windows->start()) return nullptr;
    return windows;
}

}  // namespace vorsel::linux_platform
