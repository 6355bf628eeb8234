// The agent's life: start, the link messages, leaving when idle, and the
// memory file that lets a Hardcore session outlive the process.
#include "Guard/Agent/GuardAgent.h"

#include <utility>

namespace vorsel {

namespace {

// An idle agent leaves this long after the last thing that kept it.
constexpr double kLeaveAfter = 20.0;

}  // namespace

GuardAgent::GuardAgent(GuardIdentity identity, GuardAgentPorts ports)
    : identity(std::move(identity)), ports(ports), self(std::make_shared<GuardAgent*>(this)) {}

// The timer and observation handles go with the agent, which invalidates
// them; work still queued on the run loop finds `self` expired.
GuardAgent::~GuardAgent() = default;

// Listening comes first: an agent that finds another one serving leaves
// before it reads or removes the memory file, logs, or acts on any app, so a
// second start never disturbs the agent that runs. No call is delivered
// before start() returns, so nothing sees the rules before they are restored.
void GuardAgent::start() {
    if (!ports.listener.listen(identity.machService(), *this)) return;
    listener = &ports.listener;
    rules = restored();
    restorePauses();
    ports.log.write(LogLevel::standard, "listening as " + identity.machService());
    enforce();
}

std::string GuardAgent::kind(const GuardRules& rules, TimePoint now) {
    std::string text;
    auto add = [&text](const std::string& phrase) {
        if (!text.empty()) text += ", ";
        text += phrase;
    };
    if (rules.closingInForce(now)) {
        const auto count = std::to_string(rules.closing.apps().size());
        if (rules.closing.kind() == Closing::Case::listed)
            add("closing " + count + " listed apps");
        else
            add("closing every app but " + count);
    }
    if (rules.keepOpenInForce(now)) add("keeping the app open");
    return text.empty() ? "nothing" : text;
}

// --- The link -------------------------------------------------------------

bool GuardAgent::shouldAcceptNewConnection(LinkConnection& connection) {
    connection.setCodeSigningRequirement(GuardNames::appRequirement(identity.app, identity.team));
    connection.setExportedObject(this);
    connection.resume();
    return true;
}

std::function<void()> GuardAgent::onMain(std::function<void()> work) {
    return [weak = std::weak_ptr<GuardAgent*>(self), work = std::move(work)] {
        if (weak.lock()) work();
    };
}

void GuardAgent::version(std::function<void(std::int64_t)> reply) {
    ports.runLoop.post(onMain([this, reply = std::move(reply)] {
        stay();
        reply(kGuardLinkVersion);
    }));
}

void GuardAgent::hold(std::string json, std::function<void(std::optional<std::string>)> reply) {
    ports.runLoop.post(
        onMain([this, json = std::move(json), reply = std::move(reply)] { reply(holdNow(json)); }));
}

void GuardAgent::held(std::function<void(std::string)> reply) {
    ports.runLoop.post(onMain([this, reply = std::move(reply)] {
        stay();
        reply(rules.written().value_or(""));
    }));
}

std::optional<std::string> GuardAgent::holdNow(const std::string& json) {
    // Reading a huge text would take many times its size in memory, which
    // the allocator keeps long after: refuse it before reading.
    const std::optional<GuardRules> decoded =
        json.size() <= kMaxRulesSize ? GuardRules::read(json) : std::nullopt;
    if (!decoded) {
        ports.log.write(LogLevel::error, "rules it couldn't read were handed over");
        stay();
        return std::nullopt;
    }
    const TimePoint now = ports.clock.now();
    GuardRules fresh = decoded->capped(now);
    if (fresh.keepOpen && !isTheApp(*fresh.keepOpen)) {
        ports.log.write(LogLevel::error,
                        "asked to keep open something that isn't the app: left aside");
        fresh.keepOpen.reset();
    }
    const GuardRules old = std::exchange(rules, std::move(fresh));
    if (rules != old) {
        save(now);
        const std::string described = kind(rules, now);
        if (kind(old, now) != described)
            ports.log.write(LogLevel::standard, "holding: " + described);
    }
    enforce();
    return rules.written();
}

// --- Leaving --------------------------------------------------------------

void GuardAgent::stay() {
    if (sweeping.sweep) return;
    if (leaving) leaving->invalidate();
    leaving = ports.runLoop.schedule(kLeaveAfter, 0.0, false, [this] { leave(); });
}

void GuardAgent::leave() {
    if (!rules.isOver(ports.clock.now())) return;
    ports.log.write(LogLevel::standard, "nothing to hold: leaving until the app calls");
    ports.runLoop.exit(0);
}

// --- The memory file ------------------------------------------------------

// Takes the caller's `now` rather than reading the clock again, so that the
// request or pass that saves judges the rules at one instant throughout.
// Nothing is reported, but a failed write is remembered: each later pass
// tries again, so a disk that was full for a moment does not cost a Hardcore
// session its survival of a restart (or bring back an older one).
void GuardAgent::save(TimePoint now) {
    const std::string path = identity.memoryFile(ports.files);
    memory.unsaved = false;
    if (!rules.keepOpenInForce(now)) {
        (void)ports.files.remove(path);
        return;
    }
    const std::optional<std::string> json = rules.written();
    memory.unsaved = !json || !ports.files.writeAtomically(path, *json);
}

GuardRules GuardAgent::restored() {
    const TimePoint now = ports.clock.now();
    const std::string path = identity.memoryFile(ports.files);
    std::optional<GuardRules> kept;
    if (const std::optional<std::string> data = ports.files.read(path))
        kept = GuardRules::read(*data);
    if (kept) {
        GuardRules capped = kept->capped(now);
        if (capped.keepOpenInForce(now) && isTheApp(*capped.keepOpen)) return capped;
    }
    (void)ports.files.remove(path);
    return GuardRules::none;
}

}  // namespace vorsel
