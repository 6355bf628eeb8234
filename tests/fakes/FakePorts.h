// Every fake port in one place, wired to one virtual clock, and the agent's
// port bundle made of them. Test thread only.
#pragma once

#include "Guard/Agent/GuardAgent.h"
#include "tests/fakes/FakeClock.h"
#include "tests/fakes/FakeCodeSigning.h"
#include "tests/fakes/FakeFiles.h"
#include "tests/fakes/FakeLink.h"
#include "tests/fakes/FakeLog.h"
#include "tests/fakes/FakeRunLoop.h"
#include "tests/fakes/FakeWorkspace.h"

namespace vorsel::fakes {

struct FakePorts {
    FakeClock clock;
    FakeRunLoop runLoop{clock};
    FakeWorkspace workspace{clock};
    FakeCodeSigning codeSigning;
    FakeFiles files;
    FakeLog log;
    FakeLinkListener listener;

    GuardAgentPorts agentPorts() {
        return {clock, runLoop, workspace, codeSigning, files, log, listener};
    }
};

}  // namespace vorsel::fakes
