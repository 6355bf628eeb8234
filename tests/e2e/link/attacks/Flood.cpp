// Opens CONNECTIONS connections to the bus and hands over SIZE bytes on
// each, all at once, from a process the agent will not take for the app.
// Each call carries a proof of its sender, so that it must wait for a
// verdict, but not of its bytes: the agent hashes them only for a sender it
// has judged genuine, which this one never is.
//
//   attack_flood ADDRESS AGENT CONNECTIONS SIZE
//
// Prints how many calls got each answer, "<answer> <count>" a line, where
// an error's answer is its name alone.
#include <map>
#include <memory>
#include <vector>

#include "Attack.h"

using namespace vorsel::e2e;

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    const int connections = std::atoi(argv[3]);
    const std::string payload(static_cast<std::size_t>(std::atol(argv[4])), 'x');
    std::vector<std::unique_ptr<RawBus>> buses;
    std::vector<std::uint32_t> serials;
    for (int i = 0; i < connections; ++i) {
        std::string why;
        auto bus = RawBus::connect(argv[1], &why);
        if (!bus) {
            std::fprintf(stderr, "%s\n", why.c_str());
            return 1;
        }
        const attack::Proved proved(bus->fd(), bus->uniqueName(), "Hold", "");
        serials.push_back(bus->callLink(argv[2], "Hold", payload, proved.proof.passed));
        buses.push_back(std::move(bus));
    }
    std::map<std::string, int> answers;
    for (int i = 0; i < connections; ++i) {
        const auto answer = serials[i] ? buses[i]->reply(serials[i], 120) : std::nullopt;
        const std::string name = !answer           ? "none"
                                 : answer->empty() ? "ok"
                                                   : answer->substr(0, answer->find(':'));
        ++answers[name];
    }
    for (const auto& [answer, count] : answers) std::printf("%s %d\n", answer.c_str(), count);
    return 0;
}
