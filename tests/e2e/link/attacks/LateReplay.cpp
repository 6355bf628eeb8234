// The genuine app started against a bus that this program owns the agent's
// name on (a second bus, which the test runs): its hand-overs are captured
// there and sent to the real agent, one at once while the app still waits
// for it, one after the app had its answer, with the app running on. They
// go from a connection that has, on the real bus, the very unique name the
// app had on the other one, so that the proofs name the sending connection.
//
//   attack_late_replay ADDRESS AGENT GENUINE RULES OTHER_ADDRESS
//
// Prints "names: same" (or what differed), the app's lines ("app: <line>"),
// "live relay: <answer>" and "late replay: <answer>".
#include <cstdlib>
#include <memory>

#include "Attack.h"
#include "Child.h"

using namespace vorsel::e2e;

namespace {

// N of a unique name ":1.N", as dbus-daemon gives them out, one up for each
// connection.
long numberOf(const std::string& name) {
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? -1 : std::strtol(name.c_str() + dot + 1, nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) return 2;
    const std::string address = argv[1], agent = argv[2], genuine = argv[3], rules = argv[4],
                      other = argv[5];
    std::string why;
    auto squatter = RawBus::connect(other, &why);
    if (!squatter || !squatter->ownName(agent, 10)) {
        std::fprintf(stderr, "couldn't own %s on the other bus: %s\n", agent.c_str(), why.c_str());
        return 1;
    }

    // The app will be the other bus's next connection: bring that bus's
    // count and ours on the real bus to one number.
    std::unique_ptr<RawBus> replayer;
    long next = numberOf(squatter->uniqueName()) + 1;
    for (int tries = 0; tries < 10000; ++tries) {
        if (!replayer) replayer = RawBus::connect(address, &why);
        if (!replayer) break;
        const long mine = numberOf(replayer->uniqueName());
        if (mine == next) break;
        if (mine < next) {
            replayer.reset();  // a newer connection to the real bus
            continue;
        }
        auto filler = RawBus::connect(other, &why);
        if (!filler) break;
        next = numberOf(filler->uniqueName()) + 1;
    }
    if (!replayer) {
        std::fprintf(stderr, "couldn't connect: %s\n", why.c_str());
        return 1;
    }

    // Two hand-overs, one after the other, then a call after them, so that
    // the app has finished with both (their proofs' ends closed) when it
    // stops to wait.
    attack::AppChild app({genuine, "--bus", other, "--name", agent, "hold", rules, "then", "hold",
                          rules, "then", "version", "wait"});
    auto live = squatter->nextCall(60);
    if (!live || live->member != "Hold" || !live->proof) {
        std::printf("live relay: nothing captured\n");
        return 1;
    }
    std::printf("names: %s\n", live->sender == replayer->uniqueName()
                                   ? "same"
                                   : (live->sender + " and " + replayer->uniqueName()).c_str());
    // Passed on at once, while the app still waits for it and would answer
    // its challenge.
    auto serial = replayer->callLink(agent, "Hold", live->rules, live->proof.get());
    attack::say("live relay", serial ? replayer->reply(serial, 60) : std::string("unsent"));
    squatter->replyError(*live, "org.freedesktop.DBus.Error.NoReply", "nobody is here");
    std::printf("app: %s\n", app.line().c_str());

    auto late = squatter->nextCall(60);
    if (!late || late->member != "Hold" || !late->proof) {
        std::printf("late replay: nothing captured\n");
        return 1;
    }
    squatter->replyError(*late, "org.freedesktop.DBus.Error.NoReply", "nobody is here");
    std::printf("app: %s\n", app.line().c_str());
    if (auto then = squatter->nextCall(60)) {
        squatter->replyError(*then, "org.freedesktop.DBus.Error.NoReply", "nobody is here");
        std::printf("app: %s\n", app.line().c_str());
    }
    // Later, with the app still running.
    serial = replayer->callLink(agent, "Hold", late->rules, late->proof.get());
    attack::say("late replay", serial ? replayer->reply(serial, 60) : std::string("unsent"));
    return 0;
}
