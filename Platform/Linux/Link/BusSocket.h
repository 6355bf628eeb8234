// The socket under a Qt D-Bus connection, which Qt does not hand out: read
// from libdbus (loaded with Qt D-Bus), whose symbols are looked up rather
// than linked, as Qt does. Any thread.
#pragma once

#include <QDBusConnection>

namespace vorsel::linux_platform {

// The connection's socket, still owned by it; -1 when it has none (not
// connected, or not over a unix socket).
int busSocketOf(const QDBusConnection& bus);

}  // namespace vorsel::linux_platform
