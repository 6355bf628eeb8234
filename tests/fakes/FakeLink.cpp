#include "tests/fakes/FakeLink.h"

#include <utility>

namespace vorsel::fakes {

LinkHandler* FakeMainApp::handler() {
    if (!accepted || !connection.resumed || !connection.exported) {
        ++refused;
        return nullptr;
    }
    return connection.exported;
}

void FakeMainApp::version() {
    if (LinkHandler* to = handler())
        to->version([this](std::int64_t value) { versionReplies.push_back(value); });
}

void FakeMainApp::hold(std::string rules) {
    if (LinkHandler* to = handler())
        to->hold(std::move(rules), [this](std::optional<std::string> reply) {
            holdReplies.push_back(std::move(reply));
        });
}

void FakeMainApp::held() {
    if (LinkHandler* to = handler())
        to->held([this](std::string reply) { heldReplies.push_back(std::move(reply)); });
}

FakeMainApp& FakeLinkListener::connect() {
    peers.push_back(std::make_unique<FakeMainApp>());
    FakeMainApp& peer = *peers.back();
    if (delegate) peer.accepted = delegate->shouldAcceptNewConnection(peer.connection);
    return peer;
}

}  // namespace vorsel::fakes
