#include "Platform/Linux/Windows/X11Windows.h"

#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vorsel::linux_platform {

namespace {

constexpr std::uint32_t kIconicState = 3;  // ICCCM 4.1.3.1

xcb_atom_t intern(xcb_connection_t* connection, const char* name) {
    auto cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

// A GetProperty reply, freed with its owner.
struct Property {
    xcb_get_property_reply_t* reply = nullptr;
    ~Property() { std::free(reply); }
    std::uint32_t card(std::size_t index = 0) const {
        if (reply == nullptr || reply->format != 32) return 0;
        const auto count = static_cast<std::size_t>(xcb_get_property_value_length(reply)) / 4;
        if (index >= count) return 0;
        return static_cast<const std::uint32_t*>(xcb_get_property_value(reply))[index];
    }
    std::size_t count() const {
        if (reply == nullptr || reply->format != 32) return 0;
        return static_cast<std::size_t>(xcb_get_property_value_length(reply)) / 4;
    }
    bool holds(std::uint32_t value) const {
        if (reply == nullptr || reply->format != 32) return false;
        const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
        const auto count = static_cast<std::size_t>(xcb_get_property_value_length(reply)) / 4;
        return std::find(values, values + count, value) != values + count;
    }
    bool present() const { return reply != nullptr && reply->type != XCB_ATOM_NONE; }
    std::string text() const {
        if (reply == nullptr || reply->format != 8) return {};
        return std::string(static_cast<const char*>(xcb_get_property_value(reply)),
                           static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    }
    // A list of NUL-terminated strings (WM_CLASS: instance, then class).
    std::string part(std::size_t index) const {
        const std::string all = text();
        std::size_t start = 0;
        for (std::size_t i = 0; i < index; ++i) {
            start = all.find('\0', start);
            if (start == std::string::npos) return {};
            ++start;
        }
        if (start >= all.size()) return {};
        return all.substr(start, all.find('\0', start) - start);
    }
};

struct Connection {
    xcb_connection_t* link = nullptr;
    int screen = 0;
    xcb_window_t root = XCB_NONE;
    xcb_ewmh_connection_t ewmh{};
    bool atoms = false;
    xcb_atom_t deleteWindow = XCB_ATOM_NONE;
    xcb_atom_t changeState = XCB_ATOM_NONE;
    xcb_atom_t wmState = XCB_ATOM_NONE;
    std::string host = hostName();
    // What the last look at the window manager found.
    bool managed = false;
    bool closesForUs = false;  // it takes _NET_CLOSE_WINDOW

    ~Connection() {
        if (atoms) xcb_ewmh_connection_wipe(&ewmh);
        if (link != nullptr) xcb_disconnect(link);
    }

    xcb_get_property_cookie_t ask(xcb_window_t window, xcb_atom_t property) const {
        return xcb_get_property(link, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024);
    }
    Property answer(xcb_get_property_cookie_t cookie) const {
        return Property{xcb_get_property_reply(link, cookie, nullptr)};
    }

    void lookAtManager() {
        managed = false;
        closesForUs = false;
        Property check = answer(ask(root, ewmh._NET_SUPPORTING_WM_CHECK));
        const xcb_window_t window = check.card();
        if (window == XCB_NONE) return;
        // A check window left behind by a manager that has gone no longer
        // exists, or no longer points at itself.
        Property own = answer(ask(window, ewmh._NET_SUPPORTING_WM_CHECK));
        if (own.card() != window) return;
        managed = true;
        Property supported = answer(ask(root, ewmh._NET_SUPPORTED));
        closesForUs = supported.holds(ewmh._NET_CLOSE_WINDOW);
    }

    std::vector<xcb_window_t> candidates() const {
        std::vector<xcb_window_t> found;
        if (managed) {
            Property list = answer(ask(root, ewmh._NET_CLIENT_LIST));
            if (list.present()) {
                for (std::size_t i = 0; i < list.count(); ++i) found.push_back(list.card(i));
                return found;
            }
        }
        xcb_query_tree_reply_t* tree =
            xcb_query_tree_reply(link, xcb_query_tree(link, root), nullptr);
        if (tree == nullptr) return found;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        const int count = xcb_query_tree_children_length(tree);
        std::vector<xcb_get_window_attributes_cookie_t> cookies;
        for (int i = 0; i < count; ++i)
            cookies.push_back(xcb_get_window_attributes(link, children[i]));
        for (int i = 0; i < count; ++i) {
            xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(
                link, cookies[static_cast<std::size_t>(i)], nullptr);
            if (attributes != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                attributes->override_redirect == 0)
                found.push_back(children[i]);
            std::free(attributes);
        }
        std::free(tree);
        return found;
    }
};

class XcbWindows final : public X11Windows {
  public:
    explicit XcbWindows(std::unique_ptr<Connection> givenConnection)
        : connection(std::move(givenConnection)),
          socket(xcb_get_file_descriptor(connection->link)) {}

    std::string name() const override { return "X11"; }
    bool managed() override;
    std::vector<TopLevel> windows() override;
    bool close(const TopLevel& window) override;
    bool minimise(const TopLevel& window) override;
    int descriptor() const override { return socket; }
    bool appeared() override;
    bool broken() const override { return xcb_connection_has_error(connection->link) != 0; }
    void shutdown() override { ::shutdown(socket, SHUT_RDWR); }

  private:
    void drain();

    std::unique_ptr<Connection> connection;
    const int socket;
    bool hasAppeared = false;
};

// Ids are the window's number in decimal; anything else names no window.
xcb_window_t windowOf(const TopLevel& window) {
    std::uint32_t id = 0;
    if (window.id.empty() || window.id.size() > 10) return XCB_NONE;
    for (char c : window.id) {
        if (c < '0' || c > '9') return XCB_NONE;
        const std::uint64_t next = std::uint64_t{id} * 10 + static_cast<std::uint32_t>(c - '0');
        if (next > UINT32_MAX) return XCB_NONE;
        id = static_cast<std::uint32_t>(next);
    }
    return id;
}

}  // namespace

std::unique_ptr<X11Windows> X11Windows::open(const std::string& display) {
    if (display.empty()) return nullptr;
    auto connection = std::make_unique<Connection>();
    connection->link = xcb_connect(display.c_str(), &connection->screen);
    if (xcb_connection_has_error(connection->link) != 0) return nullptr;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection->link));
    for (int i = 0; i < connection->screen && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) return nullptr;
    connection->root = screens.data->root;
    xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(connection->link, &connection->ewmh);
    if (cookies == nullptr) return nullptr;
    connection->atoms = xcb_ewmh_init_atoms_replies(&connection->ewmh, cookies, nullptr) != 0;
    if (!connection->atoms) return nullptr;
    connection->deleteWindow = intern(connection->link, "WM_DELETE_WINDOW");
    connection->changeState = intern(connection->link, "WM_CHANGE_STATE");
    connection->wmState = intern(connection->link, "WM_STATE");
    if (connection->deleteWindow == XCB_ATOM_NONE) return nullptr;
    // New windows are told on the root window: the manager's client list
    // changing, or, without a manager, top-level windows being mapped.
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection->link, connection->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection->link);
    return std::make_unique<XcbWindows>(std::move(connection));
}

// Events that tell of new windows are noted; the rest (errors of requests
// without replies, for a window that went away under us, and the root's
// other notifications) must not pile up.
void XcbWindows::drain() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection->link)) {
        switch (event->response_type & 0x7f) {
            case XCB_PROPERTY_NOTIFY: {
                auto* change = reinterpret_cast<xcb_property_notify_event_t*>(event);
                if (change->atom == connection->ewmh._NET_CLIENT_LIST) hasAppeared = true;
                break;
            }
            case XCB_MAP_NOTIFY: {
                auto* mapped = reinterpret_cast<xcb_map_notify_event_t*>(event);
                if (mapped->override_redirect == 0) hasAppeared = true;
                break;
            }
            default:
                break;
        }
        std::free(event);
    }
}

bool XcbWindows::appeared() {
    if (broken()) return false;
    drain();
    const bool told = hasAppeared;
    hasAppeared = false;
    return told;
}

bool XcbWindows::managed() {
    if (broken()) return false;
    connection->lookAtManager();
    drain();
    return connection->managed;
}

std::vector<TopLevel> XcbWindows::windows() {
    std::vector<TopLevel> found;
    if (broken()) return found;
    Connection& c = *connection;
    c.lookAtManager();
    const std::vector<xcb_window_t> ids = c.candidates();
    // Every property of every window in one batch: one wait for all replies.
    struct Asked {
        xcb_get_property_cookie_t pid, protocols, transient, machine, netState, state, wmClass,
            netName, name;
    };
    std::vector<Asked> asked;
    asked.reserve(ids.size());
    for (xcb_window_t id : ids) {
        asked.push_back({c.ask(id, c.ewmh._NET_WM_PID), c.ask(id, c.ewmh.WM_PROTOCOLS),
                         c.ask(id, XCB_ATOM_WM_TRANSIENT_FOR),
                         c.ask(id, XCB_ATOM_WM_CLIENT_MACHINE), c.ask(id, c.ewmh._NET_WM_STATE),
                         c.ask(id, c.wmState), c.ask(id, XCB_ATOM_WM_CLASS),
                         c.ask(id, c.ewmh._NET_WM_NAME), c.ask(id, XCB_ATOM_WM_NAME)});
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        Property pid = c.answer(asked[i].pid), protocols = c.answer(asked[i].protocols),
                 transient = c.answer(asked[i].transient), machine = c.answer(asked[i].machine),
                 netState = c.answer(asked[i].netState), state = c.answer(asked[i].state),
                 wmClass = c.answer(asked[i].wmClass), netName = c.answer(asked[i].netName),
                 name = c.answer(asked[i].name);
        // A window made on another machine is no program of ours, whatever
        // its pid or class say.
        if (machine.present() && !c.host.empty() && machine.text() != c.host) continue;
        const std::uint32_t number = pid.card();
        TopLevel window;
        window.id = std::to_string(ids[i]);
        if (number <= static_cast<std::uint32_t>(INT_MAX)) window.pid = static_cast<pid_t>(number);
        window.instance = wmClass.part(0);
        window.windowClass = wmClass.part(1);
        window.title = netName.present() ? netName.text() : name.text();
        window.closable = protocols.holds(c.deleteWindow);
        window.dialog = transient.card() != XCB_NONE;
        window.minimised = netState.holds(c.ewmh._NET_WM_STATE_HIDDEN) ||
                           (state.present() && state.card() == kIconicState);
        found.push_back(window);
    }
    drain();
    return found;
}

bool XcbWindows::close(const TopLevel& window) {
    const xcb_window_t id = windowOf(window);
    if (broken() || !window.closable || id == XCB_NONE) return false;
    Connection& c = *connection;
    if (c.managed && c.closesForUs) {
        // Source "other": we are neither the app nor the user's own pager.
        xcb_ewmh_request_close_window(&c.ewmh, c.screen, id, XCB_CURRENT_TIME,
                                      XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER);
    } else {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = id;
        message.type = c.ewmh.WM_PROTOCOLS;
        message.data.data32[0] = c.deleteWindow;
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c.link, 0, id, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&message));
    }
    xcb_flush(c.link);
    drain();
    return true;
}

bool XcbWindows::minimise(const TopLevel& window) {
    const xcb_window_t id = windowOf(window);
    if (broken() || id == XCB_NONE) return false;
    Connection& c = *connection;
    if (!c.managed || c.changeState == XCB_ATOM_NONE) return false;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = id;
    message.type = c.changeState;
    message.data.data32[0] = kIconicState;
    xcb_send_event(c.link, 0, c.root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(c.link);
    drain();
    return true;
}

}  // namespace vorsel::linux_platform
