// Where the build under test put its pieces; compiled into the harness.
#pragma once

#include <string>

namespace vorsel::e2e::build {

std::string vorselBundle();   // the built Vorsel.app
std::string ordwynBundle();   // the built stand-in, Ordwyn.app (unsigned)
std::string codesign();       // tools/codesign
std::string throwawayCa();    // scripts/throwaway-ca.sh
std::string sessionConfig();  // tests/e2e/session.conf.in
std::string dbusDaemon();     // the dbus-daemon program

}  // namespace vorsel::e2e::build
