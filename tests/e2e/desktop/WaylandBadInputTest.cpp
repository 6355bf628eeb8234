// Whatever answers on SWAYSOCK, the agent's side of sway's IPC never
// crashes and never waits past its limit: a socket that is not sway's, a
// frame that announces gigabytes, a window tree of the wrong types or deeper
// than any real one, a command answered with nonsense.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Linux/Windows/Wayland/SwayWindows.h"
#include "tests/support/TempFolder.h"

namespace vorsel::linux_platform {
namespace {

using Message = SwayWindows::Message;

// A stand-in for sway on a socket of its own: it answers a subscription
// with `subscribed` and each other request, in turn, with the next of
// `replies` (raw bytes), and hangs up once it has nothing more to say.
class FakeSway {
  public:
    FakeSway(std::string subscribed, std::vector<std::string> replies)
        : subscribed(std::move(subscribed)), replies(std::move(replies)) {
        location = folder.path() + "/ipc.sock";
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, location.c_str(), sizeof address.sun_path - 1);
        ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(listener, 4);
        thread = std::thread([this] { serve(); });
    }
    ~FakeSway() {
        ::shutdown(listener, SHUT_RDWR);
        thread.join();
        ::close(listener);
    }
    const std::string& path() const { return location; }

  private:
    void serve() {
        std::vector<std::thread> connections;
        for (;;) {
            const int peer = ::accept(listener, nullptr, nullptr);
            if (peer < 0) break;
            connections.emplace_back([this, peer] {
                char header[14];
                std::size_t next = 0;
                for (;;) {
                    if (::recv(peer, header, sizeof header, MSG_WAITALL) != sizeof header) break;
                    std::uint32_t length = 0, type = 0;
                    std::memcpy(&length, header + 6, 4);
                    std::memcpy(&type, header + 10, 4);
                    std::string payload(length, '\0');
                    if (length > 0 && ::recv(peer, payload.data(), length, MSG_WAITALL) <= 0) break;
                    const bool subscribing = type == static_cast<std::uint32_t>(Message::subscribe);
                    if (!subscribing && next == replies.size()) break;
                    const std::string& answer = subscribing ? subscribed : replies[next++];
                    ::send(peer, answer.data(), answer.size(), MSG_NOSIGNAL);
                }
                ::close(peer);
            });
        }
        for (std::thread& connection : connections) connection.join();
    }

    testing::TempFolder folder;
    std::string location;
    int listener = -1;
    std::string subscribed;
    std::vector<std::string> replies;
    std::thread thread;
};

std::string reply(Message type, const std::string& payload) {
    return SwayWindows::frame(type, payload);
}

const std::string kSubscribed = reply(Message::subscribe, R"({"success": true})");

TEST(WaylandBadInputTest, WhateverAnswersOnTheSocketNothingCrashesAndNothingWaitsForever) {
    // Not sway: another magic, a frame of 4 GB, nothing at all.
    for (const std::string& first :
         {std::string("x11-ipc") + std::string(7, '\0'),
          std::string("i3-ipc") + std::string("\xff\xff\xff\xff\x02\0\0\0", 8), std::string()}) {
        FakeSway fake(first, {});
        EXPECT_EQ(SwayWindows::open(fake.path()), nullptr);
    }
    EXPECT_EQ(SwayWindows::open("/nonexistent/ipc.sock"), nullptr);

    // A tree of the wrong types and one deeper than any real tree: the
    // window that can be read is listed, with nothing it does not say.
    std::string deep = R"({"type":"con","shell":"xdg_shell","pid":9,"id":8})";
    for (int i = 0; i < 200; ++i) deep = R"({"nodes":[)" + deep + "]}";
    const std::string tree =
        R"({"nodes": 5, "floating_nodes": [{"nodes": [{"id": 7, "pid": -4, "shell": "xdg_shell",
            "app_id": null, "name": 42}, {"id": "x", "pid": 3, "shell": "xdg_shell"}, 7,
            {"id": 9, "pid": 99999999999, "shell": "xdg_shell", "app_id": ["x"]}]}, )" +
        deep + "]}";
    FakeSway fake(kSubscribed, {reply(Message::getTree, "{}"), reply(Message::getTree, tree),
                                reply(Message::runCommand, R"({"success": true})"),
                                reply(Message::runCommand, R"([{"success": "yes"}])"),
                                reply(Message::getTree, "[not json")});
    auto windows = SwayWindows::open(fake.path());
    ASSERT_NE(windows, nullptr);
    const std::vector<TopLevel> listed = windows->windows();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].id, "7");
    EXPECT_EQ(listed[0].pid, 0);
    EXPECT_EQ(listed[0].windowClass, "");
    EXPECT_EQ(listed[1].pid, 0);
    // A command not answered as sway answers is not taken for done.
    EXPECT_FALSE(windows->close(listed[0]));
    EXPECT_FALSE(windows->minimise(listed[0]));
    // An id that is not sway's number never reaches a command.
    TopLevel forged;
    forged.id = "7] exec rm";
    EXPECT_FALSE(windows->close(forged));
    // Nonsense for a tree breaks the connection; later calls do nothing.
    EXPECT_TRUE(windows->windows().empty());
    EXPECT_TRUE(windows->broken());
    EXPECT_FALSE(windows->appeared());
}

}  // namespace
}  // namespace vorsel::linux_platform
