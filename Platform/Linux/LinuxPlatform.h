// The one place that builds the Linux adapters. Only the composition root
// (Main/) includes this header. The agent's adapters and the app's are
// defined in separate files, so that the app-mode module links none of the
// agent's and the agent none of the window's.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Platform/Bundles.h"
#include "Platform/Clock.h"
#include "Platform/CodeSigning.h"
#include "Platform/Files.h"
#include "Platform/LinkListener.h"
#include "Platform/Linux/Runtime/LinuxClock.h"
#include "Platform/Log.h"
#include "Platform/LoginItems.h"
#include "Platform/RunLoop.h"
#include "Platform/Workspace.h"

namespace vorsel::linux_platform {

// The adapters that both modes use.
struct CommonPorts {
    std::unique_ptr<Bundles> bundles;
    std::unique_ptr<Files> files;
    std::unique_ptr<Clock> clock;
};

// The clock is the agent's unless `side` says otherwise: the agent keeps the
// clock's anchor beside its memory file, the window only reads it.
CommonPorts makeCommonPorts(ClockSide side = ClockSide::agent);

// The adapters of app mode: the common ones, and the login items of the main
// bundle, made on first use (they need the window's QCoreApplication).
struct AppPorts {
    CommonPorts common;
    std::function<std::unique_ptr<LoginItems>()> loginItems;
};

AppPorts makeAppPorts();

// The adapters of agent mode, on the Qt event loop. Members are destroyed
// in reverse order, so each outlives those declared after it that use it.
struct AgentPorts {
    std::unique_ptr<RunLoop> runLoop;
    std::unique_ptr<Log> log;
    std::unique_ptr<CodeSigning> codeSigning;
    std::unique_ptr<Workspace> workspace;
    std::unique_ptr<LinkListener> listener;
    // Runs the event loop until the run loop's exit(); returns its status.
    std::function<int()> run;
};

// Builds the agent's adapters: the journal (or standard error) for `own`, the
// session bus link, and code signatures trusting the anchors of the main
// bundle ("Contents/Resources/anchors.pem"; none outside a bundle, and then
// nobody is genuine). Requires a QCoreApplication; main thread.
AgentPorts makeAgentPorts(const Bundles& bundles, const std::string& own);

// What agent mode can start before anything else, so that it is ready when
// the first caller is judged: the spare child that loads the signing code.
// Called first thing in agent mode (before Qt starts, so that the fork copies
// little and no other thread exists); makeAgentPorts does it itself
// otherwise. Main thread.
void prepareAgent();

// The app-mode module: "vorsel-app.so" beside the running executable.
std::string appModulePath();

// Loads the app-mode module and runs the companion app in it until its window
// is closed; returns 0, or 1 with a message on standard error when the module
// cannot be loaded. Main thread, before any other Qt object exists.
int runAppModule(int& argc, char** argv);

}  // namespace vorsel::linux_platform
