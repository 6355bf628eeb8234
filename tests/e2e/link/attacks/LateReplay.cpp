// The genuine app started against a bus that this program owns the agent's
// name on (a second bus, which the test runs): its hand-over is captured,
// answered with an error there, and sent to the real agent afterwards, while
// the app runs on. The capture is replayed from a connection that has, on
// the real bus, the very unique name the app had on the other one, so that
// the proof names the replaying connection.
//
//   attack_late_replay ADDRESS AGENT GENUINE RULES OTHER_ADDRESS
//
// Prints "names: same" (or what differed), the app's lines ("app: <line>")
// and "late replay: <answer>".
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

    // The hand-over, then a call after it, so that the app has finished
    // with the first (its end of that proof closed) when it stops to wait.
    attack::AppChild app(
        {genuine, "--bus", other, "--name", agent, "hold", rules, "then", "version", "wait"});
    auto captured = squatter->nextCall(60);
    if (!captured || captured->member != "Hold" || !captured->proof) {
        std::printf("late replay: nothing captured\n");
        return 1;
    }
    std::printf("names: %s\n", captured->sender == replayer->uniqueName()
                                   ? "same"
                                   : (captured->sender + " and " + replayer->uniqueName()).c_str());
    squatter->replyError(*captured, "org.freedesktop.DBus.Error.NoReply", "nobody is here");
    std::printf("app: %s\n", app.line().c_str());
    if (auto then = squatter->nextCall(60)) {
        squatter->replyError(*then, "org.freedesktop.DBus.Error.NoReply", "nobody is here");
        std::printf("app: %s\n", app.line().c_str());
    }

    // Later, to the real agent, with the app still running.
    const auto serial = replayer->callLink(agent, "Hold", captured->rules, captured->proof.get());
    attack::say("late replay", serial ? replayer->reply(serial, 60) : std::string("unsent"));
    return 0;
}
