// The agent declaration a bundle carries at
// "Contents/Library/LaunchAgents/guard-agent.plist": an XML property list with
// the job's Label, its BundleProgram (relative to the bundle), its
// ProgramArguments and a MachServices dictionary whose one key is the service
// name the agent listens on. Pure file reads; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorsel::linux_platform {

struct AgentDeclaration {
    std::string label;                   // e.g. "com.ordwyn.guard.agent"
    std::string program;                 // e.g. "Contents/Linux/vorsel"
    std::vector<std::string> arguments;  // e.g. {"--agent"}
    std::string machService;             // e.g. "TEAM.com.ordwyn.app.guard"

    // "<bundle>/Contents/Library/LaunchAgents/guard-agent.plist".
    static std::string pathIn(const std::string& bundle);

    // The declaration in `bundle`; nothing when the file is missing or not a
    // usable declaration: no text Label made of [A-Za-z0-9._-] only, no
    // relative BundleProgram inside the bundle, ProgramArguments that is not
    // an array of texts, or MachServices without exactly one key.
    static std::optional<AgentDeclaration> load(const std::string& bundle);
    static std::optional<AgentDeclaration> parse(const std::string& xml);
};

}  // namespace vorsel::linux_platform
