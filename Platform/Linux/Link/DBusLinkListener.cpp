#include "Platform/Linux/Link/DBusLinkListener.h"

#include "Platform/Linux/Link/DBusLinkService.h"

namespace vorsel::linux_platform {

DBusLinkListener::DBusLinkListener(RunLoop& runLoop, Log& log, CallerCheck check)
    : DBusLinkListener(runLoop, log, std::move(check), QDBusConnection::sessionBus()) {}

DBusLinkListener::DBusLinkListener(RunLoop& runLoop, Log& log, CallerCheck check,
                                   const QDBusConnection& bus, LinkOptions options)
    : service(std::make_unique<DBusLinkService>(runLoop, log, std::move(check), bus,
                                                std::move(options))) {}

DBusLinkListener::~DBusLinkListener() = default;

bool DBusLinkListener::listen(const std::string& serviceName, LinkListenerDelegate& delegate) {
    return service->listen(serviceName, delegate);
}

std::size_t DBusLinkListener::peersKnown() const { return service->peersKnown(); }

}  // namespace vorsel::linux_platform
