// The link as the main app sees it. FakeLinkListener records what the agent
// listens on; connect() opens a connection the way a peer would (the delegate
// sets it up) and returns a FakeMainApp that sends the three messages through
// the exported handler and keeps the replies it gets. Replies arrive only
// when the run loop runs the agent's posted work. Test thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/LinkListener.h"

namespace vorsel::fakes {

class FakeLinkConnection final : public LinkConnection {
  public:
    void setCodeSigningRequirement(const std::string& text) override { requirement = text; }
    void setExportedObject(LinkHandler* handler) override { exported = handler; }
    void resume() override { resumed = true; }

    std::optional<std::string> requirement;
    LinkHandler* exported = nullptr;
    bool resumed = false;
};

class FakeMainApp {
  public:
    // Each sends one message. A connection that was refused, never resumed or
    // exports nothing delivers nothing; the message counts as refused.
    void version();
    void hold(std::string rules);
    void held();

    FakeLinkConnection connection;
    bool accepted = false;
    int refused = 0;

    std::vector<std::int64_t> versionReplies;
    std::vector<std::optional<std::string>> holdReplies;
    std::vector<std::string> heldReplies;

  private:
    LinkHandler* handler();
};

class FakeLinkListener final : public LinkListener {
  public:
    bool listen(const std::string& serviceName, LinkListenerDelegate& givenDelegate) override {
        ++listens;
        service = serviceName;
        if (taken) return false;
        this->delegate = &givenDelegate;
        return true;
    }

    // A new peer connects; nothing is delivered if nobody listens.
    FakeMainApp& connect();

    // Another process owns the service: listen() fails.
    bool taken = false;
    std::optional<std::string> service;
    LinkListenerDelegate* delegate = nullptr;
    int listens = 0;
    std::vector<std::unique_ptr<FakeMainApp>> peers;
};

}  // namespace vorsel::fakes
