// A throwaway desktop app for the quit-request tests: real X11 top-level
// windows on the display in DISPLAY, and optionally an application ID on the
// session bus with org.freedesktop.Application's ActivateAction, as
// GApplication apps have. Everything it is asked goes to its log, one line
// each: "ready", "close <n>" (window n got WM_DELETE_WINDOW), "dialog"
// (it answered with a dialog of its own), "cancel" (its dialog was closed),
// "quit", "action <name>", "term", "minimised <n>".
//
//   desk_app --log PATH [--windows N] [--no-protocol] [--child]
//            [--ask] [--ignore-close] [--ignore-term]
//            [--class NAME] [--no-pid] [--undumpable]
//            [--bus NAME] [--ignore-quit | --no-quit-action]
//
// --child makes the windows in a child process (the app's own process has
// none, as with a launcher script); --ask answers the first close request
// with a dialog (a window transient for the main one) instead of closing;
// --ignore-* log the request and do nothing more; --no-quit-action owns
// the name but has no "quit" action, so asking for it is an error;
// --class sets WM_CLASS (instance "desk_app", class NAME); --no-pid leaves
// _NET_WM_PID out; --undumpable makes it non-dumpable, as programs that keep
// secrets do (its executable and environment can no longer be read). It exits 0 when its last
// window is closed or its quit action runs, and dies of SIGTERM unless
// told to ignore it.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QSocketNotifier>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

int logFd = -1;
bool ignoreTerm = false;

void note(const std::string& line) {
    if (logFd < 0) return;
    const std::string text = line + "\n";
    ssize_t ignored = ::write(logFd, text.data(), text.size());
    (void)ignored;
}

void onTerm(int) {
    static const char line[] = "term\n";
    if (logFd >= 0) {
        ssize_t ignored = ::write(logFd, line, sizeof line - 1);
        (void)ignored;
    }
    if (!ignoreTerm) {
        std::signal(SIGTERM, SIG_DFL);
        std::raise(SIGTERM);
    }
}

struct Settings {
    int windows = 1;
    bool protocol = true, child = false, ask = false, ignoreClose = false, ignoreQuit = false,
         quitAction = true;
    std::string bus;
    std::string windowClass;
    bool pid = true;
    int windowAfterMs = 0;  // windows shown only this long after start
};

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return value;
}

class Windows {
  public:
    explicit Windows(const Settings& settings) : settings(settings) {}

    bool open() {
        c = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c)) return false;
        screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        protocols = atom(c, "WM_PROTOCOLS");
        deleteWindowAtom = atom(c, "WM_DELETE_WINDOW");
        processId = atom(c, "_NET_WM_PID");
        wmState = atom(c, "WM_STATE");
        for (int i = 0; i < settings.windows; ++i) shown[make(i, XCB_NONE)] = i;
        xcb_flush(c);
        return true;
    }

    int fd() const { return xcb_get_file_descriptor(c); }

    // Reads what the server sent; false once nothing is left open.
    bool serve() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            const auto type = event->response_type & 0x7f;
            if (type == XCB_CLIENT_MESSAGE) {
                auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
                if (message->type == protocols && message->data.data32[0] == deleteWindowAtom)
                    closeRequested(message->window);
            } else if (type == XCB_PROPERTY_NOTIFY) {
                auto* change = reinterpret_cast<xcb_property_notify_event_t*>(event);
                if (change->atom == wmState && iconic(change->window) &&
                    shown.count(change->window))
                    note("minimised " + std::to_string(shown[change->window]));
            }
            std::free(event);
        }
        xcb_flush(c);
        return !shown.empty() && !xcb_connection_has_error(c);
    }

  private:
    xcb_window_t make(int index, xcb_window_t owner) {
        const xcb_window_t window = xcb_generate_id(c);
        const std::uint32_t values[] = {screen->white_pixel, XCB_EVENT_MASK_PROPERTY_CHANGE};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 40 * index, 40 * index,
                          owner == XCB_NONE ? 320 : 200, owner == XCB_NONE ? 200 : 80, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        const std::string title =
            owner == XCB_NONE ? "desk app " + std::to_string(index) : "desk app: save changes?";
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            static_cast<std::uint32_t>(title.size()), title.data());
        const std::uint32_t pid = static_cast<std::uint32_t>(::getpid());
        if (settings.pid)
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, processId, XCB_ATOM_CARDINAL, 32,
                                1, &pid);
        if (!settings.windowClass.empty()) {
            const std::string both = std::string("desk_app") + '\0' + settings.windowClass + '\0';
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS,
                                XCB_ATOM_STRING, 8, static_cast<std::uint32_t>(both.size()),
                                both.data());
        }
        char host[HOST_NAME_MAX + 1] = {};
        ::gethostname(host, sizeof host - 1);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLIENT_MACHINE,
                            XCB_ATOM_STRING, 8, static_cast<std::uint32_t>(std::strlen(host)),
                            host);
        if (settings.protocol)
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, protocols, XCB_ATOM_ATOM, 32, 1,
                                &deleteWindowAtom);
        if (owner != XCB_NONE)
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_TRANSIENT_FOR,
                                XCB_ATOM_WINDOW, 32, 1, &owner);
        xcb_map_window(c, window);
        return window;
    }

    bool iconic(xcb_window_t window) {
        auto* reply = xcb_get_property_reply(
            c, xcb_get_property(c, 0, window, wmState, wmState, 0, 2), nullptr);
        const bool result = reply && xcb_get_property_value_length(reply) >= 4 &&
                            *static_cast<std::uint32_t*>(xcb_get_property_value(reply)) == 3;
        std::free(reply);
        return result;
    }

    void closeRequested(xcb_window_t window) {
        if (window == dialog) {
            note("cancel");
            xcb_destroy_window(c, dialog);
            dialog = XCB_NONE;
            return;
        }
        auto found = shown.find(window);
        if (found == shown.end()) return;
        note("close " + std::to_string(found->second));
        if (settings.ignoreClose) return;
        if (settings.ask) {
            if (dialog == XCB_NONE) {
                dialog = make(0, window);
                note("dialog");
            }
            return;
        }
        xcb_destroy_window(c, window);
        shown.erase(found);
    }

    Settings settings;
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_atom_t protocols = XCB_ATOM_NONE, deleteWindowAtom = XCB_ATOM_NONE,
               processId = XCB_ATOM_NONE, wmState = XCB_ATOM_NONE;
    std::map<xcb_window_t, int> shown;
    xcb_window_t dialog = XCB_NONE;
};

// org.freedesktop.Application, as GApplication exports it: only the
// method that matters here.
class Application : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
  public:
    Application(bool quitAction, bool ignoreQuit)
        : quitAction(quitAction), ignoreQuit(ignoreQuit) {}

  public slots:
    void ActivateAction(const QString& name, const QVariantList&, const QVariantMap&) {
        if (name != QLatin1String("quit") || !quitAction) {
            note("action " + name.toStdString());
            sendErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                           QStringLiteral("Unknown action ‘%1’").arg(name));
            return;
        }
        note("quit");
        if (!ignoreQuit) QCoreApplication::exit(0);
    }

  private:
    bool quitAction;
    bool ignoreQuit;
};

std::string objectPath(const std::string& name) {
    std::string path = "/";
    for (char c : name) path += c == '.' ? '/' : c == '-' ? '_' : c;
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool more = i + 1 < argc;
        if (arg == "--log" && more) {
            logFd = ::open(argv[++i], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        } else if (arg == "--windows" && more) {
            settings.windows = std::atoi(argv[++i]);
        } else if (arg == "--bus" && more) {
            settings.bus = argv[++i];
        } else if (arg == "--no-protocol") {
            settings.protocol = false;
        } else if (arg == "--child") {
            settings.child = true;
        } else if (arg == "--ask") {
            settings.ask = true;
        } else if (arg == "--ignore-close") {
            settings.ignoreClose = true;
        } else if (arg == "--ignore-term") {
            ignoreTerm = true;
        } else if (arg == "--ignore-quit") {
            settings.ignoreQuit = true;
        } else if (arg == "--no-quit-action") {
            settings.quitAction = false;
        } else if (arg == "--class" && more) {
            settings.windowClass = argv[++i];
        } else if (arg == "--no-pid") {
            settings.pid = false;
        } else if (arg == "--window-after" && more) {
            settings.windowAfterMs = std::atoi(argv[++i]);
        } else if (arg == "--undumpable") {
            ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
        }
    }
    std::signal(SIGTERM, onTerm);
    if (settings.child) {
        const pid_t child = ::fork();
        if (child > 0) {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0) {
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    QCoreApplication app(argc, argv);
    Application application(settings.quitAction, settings.ignoreQuit);
    if (!settings.bus.empty()) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.registerObject(QString::fromStdString(objectPath(settings.bus)), &application,
                                QDBusConnection::ExportAllSlots) ||
            !bus.registerService(QString::fromStdString(settings.bus))) {
            std::fprintf(stderr, "desk_app: could not own %s\n", settings.bus.c_str());
            return 2;
        }
    }
    Windows windows(settings);
    const auto show = [&] {
        if (!windows.open()) {
            std::fprintf(stderr, "desk_app: no display\n");
            return false;
        }
        auto* notifier = new QSocketNotifier(windows.fd(), QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&windows] {
            if (!windows.serve()) QCoreApplication::exit(0);
        });
        windows.serve();
        return true;
    };
    if (settings.windows > 0 && settings.windowAfterMs > 0) {
        QTimer::singleShot(settings.windowAfterMs, &app, [&] {
            if (!show()) QCoreApplication::exit(2);
        });
    } else if (settings.windows > 0 && !show()) {
        return 2;
    }
    note("ready");
    return QCoreApplication::exec();
}

#include "DeskApp.moc"
