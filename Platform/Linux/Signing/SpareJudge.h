// A child forked ahead of the first signature check, which loads the signing
// module and OpenSSL while the agent is still starting, then answers one
// question and ends. The agent is started because a caller connected, and
// that caller is judged before it hears anything: without a spare, its
// first reply would wait for a fork and for the module to load on top of
// the check itself. Later checks fork a fresh child each (ForkedCheck.h).
// Any thread; one question at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/Linux/Signing/ForkedCheck.h"
#include "Platform/Linux/Signing/SigningModule.h"

namespace vorsel::linux_platform {

class SpareJudge {
  public:
    // Forks the spare now. It waits up to `life` for its question and then
    // ends unused. Nothing when no child can be made.
    static std::shared_ptr<SpareJudge> start(std::shared_ptr<const SigningModule> module,
                                             std::chrono::milliseconds life);
    ~SpareJudge();

    SpareJudge(const SpareJudge&) = delete;
    SpareJudge& operator=(const SpareJudge&) = delete;

    // The module's questions, answered by the spare while it is unused and
    // still waiting: yes, no, or unanswered when it ended or took longer
    // than `limit`. notStarted when it was used or has ended, or when a text
    // holds a NUL (which no path or requirement does): ask a fresh child.
    ChildAnswer satisfies(const std::string& anchors, const std::string& bundle,
                          const std::string& requirement, std::chrono::milliseconds limit);
    ChildAnswer callerGenuine(const std::string& anchors, std::uint32_t uid, std::int32_t pid,
                              const std::string& requirement, std::chrono::milliseconds limit);

    // Whether the spare still waits for its question (for tests).
    bool waiting();
    // Whether the spare has ended and been reaped, used or not (for tests).
    bool gone();

  private:
    SpareJudge(pid_t child, int socket) : child(child), socket(socket) {}
    ChildAnswer ask(const std::string& question, std::chrono::milliseconds limit);
    // Takes the spare for one question; false when it was used or has ended.
    bool take(pid_t& child, int& socket);
    static void finish(pid_t child, int socket);
    // Reaps a used spare that has ended since; mutex held.
    void reapIfEnded();

    std::mutex mutex;
    pid_t child;  // -1 once taken or reaped; after an answer, the child until reaped
    int socket;   // -1 once taken or closed
};

}  // namespace vorsel::linux_platform
