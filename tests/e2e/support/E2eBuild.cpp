#include "tests/e2e/support/E2eBuild.h"

namespace vorsel::e2e::build {

std::string vorselBundle() { return VORSEL_E2E_VORSEL_BUNDLE; }
std::string ordwynBundle() { return VORSEL_E2E_ORDWYN_BUNDLE; }
std::string codesign() { return VORSEL_E2E_CODESIGN; }
std::string throwawayCa() { return VORSEL_E2E_THROWAWAY_CA; }
std::string sessionConfig() { return VORSEL_E2E_SESSION_CONF; }
std::string dbusDaemon() { return VORSEL_E2E_DBUS_DAEMON; }

}  // namespace vorsel::e2e::build
