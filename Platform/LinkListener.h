// The link between the main app and the agent: a named service on which the
// main app's three messages arrive. Only peers that satisfy the requirement
// set on their connection get through; the others never reach the handler.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vorsel {

// What the agent exports on the link. The listener may call these from any
// thread; each reply may be called later, once, from the main thread.
class LinkHandler {
  public:
    virtual ~LinkHandler() = default;

    virtual void version(std::function<void(std::int64_t)> reply) = 0;
    // `rules` is the JSON of session rules; the reply is the rules held
    // afterwards as JSON, or nothing when `rules` could not be read. Rules
    // too large to be read (over 1 MiB) arrive unread, as an empty text.
    virtual void hold(std::string rules, std::function<void(std::optional<std::string>)> reply) = 0;
    // The reply is the rules held, as JSON (empty when they cannot be written).
    virtual void held(std::function<void(std::string)> reply) = 0;
};

// A peer's connection, handed to the delegate before it carries any message.
class LinkConnection {
  public:
    virtual ~LinkConnection() = default;

    // The code requirement (requirement-language text) the peer must satisfy;
    // messages from a peer that does not are refused before the handler.
    virtual void setCodeSigningRequirement(const std::string& requirement) = 0;
    // The object that serves the peer's messages; must outlive the connection.
    virtual void setExportedObject(LinkHandler* handler) = 0;
    // Starts delivering the peer's messages.
    virtual void resume() = 0;
};

class LinkListenerDelegate {
  public:
    virtual ~LinkListenerDelegate() = default;

    // Sets up a new connection; returning false drops it.
    virtual bool shouldAcceptNewConnection(LinkConnection& connection) = 0;
};

class LinkListener {
  public:
    virtual ~LinkListener() = default;

    // Starts listening on the service `serviceName`, asking `delegate` about
    // each new peer. `delegate` must outlive the listener. False when the
    // service cannot be had (another process owns the name, or there is no
    // bus): the listener has then said why in the log and ended the process
    // with a non-zero status, and nothing will be delivered.
    virtual bool listen(const std::string& serviceName, LinkListenerDelegate& delegate) = 0;
};

}  // namespace vorsel
