// What the extension does inside the shell, the same for every shell
// version: it exports the shell's windows on the session bus, on the shell's
// own connection (so under the name org.gnome.Shell), for the Vorsel agent
// of the same user. It tells a window's pid, app id and title, closes a
// window as its close button would, minimises it, and says when a window
// appears: nothing a process of the user could not already do by signals.
// Gio, GLib, Meta and global are the shell's; the file that wraps this one
// imports them in the way its shell version loads extensions.

const VORSEL_WINDOWS_PATH = '/com/ordwyn/GuardWindows';
const VORSEL_WINDOWS_XML = `<node>
  <interface name="com.ordwyn.GuardWindows">
    <method name="List">
      <arg name="windows" type="a(tissssbbb)" direction="out"/>
    </method>
    <method name="Close">
      <arg name="id" type="t" direction="in"/>
      <arg name="done" type="b" direction="out"/>
    </method>
    <method name="Minimise">
      <arg name="id" type="t" direction="in"/>
      <arg name="done" type="b" direction="out"/>
    </method>
    <signal name="WindowCreated">
      <arg name="id" type="t"/>
    </signal>
  </interface>
</node>`;

const VORSEL_CLIENT_TYPES = [
    Meta.WindowType.NORMAL, Meta.WindowType.DIALOG, Meta.WindowType.MODAL_DIALOG,
    Meta.WindowType.UTILITY,
];

// A dialog attached to its window shows and hides with it: hidden while a
// window it belongs to is minimised, though its own flag stays unset.
function vorselHidden(window) {
    for (let at = window; at; at = at.get_transient_for()) {
        if (at.minimized) return true;
    }
    return false;
}

class VorselWindowsService {
    constructor() {
        this._uid = new Gio.Credentials().get_unix_user();
        this._exported = null;
        this._created = 0;
        // Unique names of callers found to run as the user.
        this._users = new Set();
    }

    enable() {
        this._exported = Gio.DBusExportedObject.wrapJSObject(VORSEL_WINDOWS_XML, this);
        this._exported.export(Gio.DBus.session, VORSEL_WINDOWS_PATH);
        this._created = global.display.connect('window-created', (display, window) => {
            if (this._exported && VORSEL_CLIENT_TYPES.includes(window.get_window_type())) {
                this._exported.emit_signal('WindowCreated',
                    new GLib.Variant('(t)', [window.get_id()]));
            }
        });
    }

    disable() {
        if (this._created) global.display.disconnect(this._created);
        this._created = 0;
        if (this._exported) this._exported.unexport();
        this._exported = null;
        this._users.clear();
    }

    _clients() {
        return global.get_window_actors()
            .map(actor => actor.get_meta_window())
            .filter(window => window && !window.is_override_redirect() &&
                VORSEL_CLIENT_TYPES.includes(window.get_window_type()));
    }

    _find(id) {
        return this._clients().find(window => window.get_id() === id) || null;
    }

    // Answers `invocation` with what `answer` returns, once the bus has said
    // that the caller runs as this shell's user; refuses anyone else. A
    // connection's user never changes and the bus never gives its name to
    // another, so a caller found to be the user is answered at once after:
    // while a window opens the shell is busy drawing, and each extra turn
    // of its loop holds up the close request that the agent is making.
    _forTheUser(invocation, answer) {
        const sender = invocation.get_sender();
        if (this._users.has(sender)) {
            this._answer(invocation, answer);
            return;
        }
        Gio.DBus.session.call('org.freedesktop.DBus', '/org/freedesktop/DBus',
            'org.freedesktop.DBus', 'GetConnectionUnixUser',
            new GLib.Variant('(s)', [sender]), new GLib.VariantType('(u)'),
            Gio.DBusCallFlags.NONE, -1, null, (bus, result) => {
                let uid = -1;
                try {
                    [uid] = bus.call_finish(result).deep_unpack();
                } catch (e) {
                    uid = -1;
                }
                if (uid !== this._uid) {
                    invocation.return_dbus_error('org.freedesktop.DBus.Error.AccessDenied',
                        'Only the user of this session may ask');
                    return;
                }
                // Agents come and go over a long session: kept few.
                if (this._users.size >= 64) this._users.clear();
                this._users.add(sender);
                this._answer(invocation, answer);
            });
    }

    _answer(invocation, answer) {
        try {
            invocation.return_value(answer());
        } catch (e) {
            invocation.return_dbus_error('org.freedesktop.DBus.Error.Failed', String(e));
        }
    }

    ListAsync(parameters, invocation) {
        this._forTheUser(invocation, () => new GLib.Variant('(a(tissssbbb))', [
            this._clients().map(window => [
                window.get_id(),
                window.get_pid(),
                window.get_wm_class() || '',
                window.get_wm_class_instance() || '',
                window.get_sandboxed_app_id() || window.get_gtk_application_id() || '',
                window.get_title() || '',
                window.get_transient_for() !== null ||
                    window.get_window_type() !== Meta.WindowType.NORMAL,
                vorselHidden(window),
                window.can_close(),
            ]),
        ]));
    }

    CloseAsync([id], invocation) {
        this._forTheUser(invocation, () => {
            const window = this._find(id);
            if (!window || !window.can_close()) return new GLib.Variant('(b)', [false]);
            window.delete(global.display.get_current_time_roundtrip());
            return new GLib.Variant('(b)', [true]);
        });
    }

    MinimiseAsync([id], invocation) {
        this._forTheUser(invocation, () => {
            // Minimising a dialog that cannot go alone minimises the window
            // it belongs to, as the user would.
            let window = this._find(id);
            while (window && !window.can_minimize() && window.get_transient_for())
                window = window.get_transient_for();
            if (!window || !window.can_minimize()) return new GLib.Variant('(b)', [false]);
            window.minimize();
            return new GLib.Variant('(b)', [true]);
        });
    }
}
