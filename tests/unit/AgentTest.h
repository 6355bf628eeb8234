// The agent on fake ports: a fixture that starts it, plays the main app over
// the link, and scripts the running apps, the signature of the main app and
// the memory file.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Guard/Agent/GuardAgent.h"
#include "tests/fakes/FakePorts.h"

namespace vorsel {

// Reaches into the agent where its public life cannot lead.
class GuardAgentTestPeer {
  public:
    static void setRules(GuardAgent& agent, GuardRules rules) { agent.rules = std::move(rules); }
};

namespace fakes {

inline constexpr const char* kAppPath = "/opt/Ordwyn.app";
inline constexpr double kDay = 86400;

class AgentTest : public ::testing::Test {
  protected:
    FakePorts world;
    GuardIdentity identity{"com.ordwyn.guard", "com.ordwyn.app", "TEAM42"};
    std::unique_ptr<GuardAgent> agent;
    FakeMainApp* app = nullptr;
    TimePoint started = 0;

    // Creates and starts the agent and connects the main app to it.
    void startAgent() {
        agent = std::make_unique<GuardAgent>(identity, world.agentPorts());
        started = now();
        agent->start();
        app = &world.listener.connect();
    }

    TimePoint now() const { return world.clock.peek(); }
    void advance(double seconds) { world.runLoop.advance(seconds); }
    void advanceTo(TimePoint instant) { world.runLoop.advanceTo(instant); }
    bool left() const { return world.runLoop.exitStatus.has_value(); }

    std::string memoryFile() const {
        return std::string(kFakeDataFolder) + "/com.ordwyn.guard/guard.json";
    }

    // The genuine main app's bundle, signed with a seal dated `sealDate`.
    void signTheApp(const std::string& path = kAppPath, TimePoint sealDate = 700000000) {
        world.codeSigning.sign(path, sealDate);
    }

    // Sends `json` as the main app and returns the reply once the agent ran.
    std::optional<std::string> holdJson(const std::string& json) {
        app->hold(json);
        world.runLoop.drain();
        return app->holdReplies.back();
    }
    std::optional<std::string> hold(const GuardRules& rules) { return holdJson(*rules.written()); }
    std::optional<GuardRules> holdAndRead(const GuardRules& rules) {
        const std::optional<std::string> reply = hold(rules);
        return reply ? GuardRules::read(*reply) : std::nullopt;
    }

    static GuardRules listed(std::vector<std::string> apps, TimePoint ends) {
        GuardRules rules;
        rules.closing = Closing::listed(std::move(apps));
        rules.closingEnds = ends;
        return rules;
    }
    static GuardRules allBut(std::vector<std::string> apps, TimePoint ends) {
        GuardRules rules;
        rules.closing = Closing::allBut(std::move(apps));
        rules.closingEnds = ends;
        return rules;
    }
    // `rules` plus keeping the main app at `path` open until `until`.
    static GuardRules hardcore(GuardRules rules, TimePoint until,
                               const std::string& path = kAppPath) {
        rules.keepOpen = Kept{"com.ordwyn.app", path, until};
        return rules;
    }
    static GuardRules keepingOnly(TimePoint until, const std::string& path = kAppPath) {
        return hardcore(GuardRules::none, until, path);
    }

    std::vector<AppAction> actionsOn(const std::shared_ptr<FakeApp>& running) const {
        std::vector<AppAction> kinds;
        for (const auto& record : world.workspace.actionsOn(running->pid))
            kinds.push_back(record.action);
        return kinds;
    }
    // When each action of `kind` was taken on `running`, relative to start.
    std::vector<double> timesOf(AppAction kind, const std::shared_ptr<FakeApp>& running) const {
        std::vector<double> times;
        for (const auto& record : world.workspace.actionsOn(running->pid))
            if (record.action == kind) times.push_back(record.at - started);
        return times;
    }
};

}  // namespace fakes
}  // namespace vorsel
