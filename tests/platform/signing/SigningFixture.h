// What the signing tests share: a throwaway folder, certificate authorities
// made with OpenSSL's C API, small app bundles, and real child processes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Platform/Linux/Signing/SealSignature.h"

#include "tests/support/TempFolder.h"

namespace vorsel::linux_platform::testing {

// A folder under /tmp that everybody may enter (a child of another uid runs
// from it), removed with everything in it.
class TempFolder : public vorsel::testing::TempFolder {
  public:
    TempFolder() : vorsel::testing::TempFolder("vorsel-signing", Access::everyone) {}
};

// What a test leaf certificate carries.
struct LeafOptions {
    std::string team;           // subject OU; empty: none
    bool teamMarker = false;    // extension 1.2.840.113635.100.6.1.9
    bool teamMarker25 = false;  // extension 1.2.840.113635.100.6.1.25.1
    bool codeSigning = true;    // extended key usage codeSigning
    bool weakKey = false;       // RSA-1024 instead of EC P-256
};

// A root authority with an EC key, and leaves issued by it.
class TestAuthority {
  public:
    explicit TestAuthority(const std::string& name);
    // An intermediate authority issued by `parent`; its leaves carry it as
    // their chain only when `withChain`.
    TestAuthority(const std::string& name, const TestAuthority& parent);
    SigningIdentity issue(const LeafOptions& options, bool withChain = true) const;
    // This authority's certificate as PEM, to put into an anchors file.
    std::string rootPem() const;
    // Writes the root as `path` and answers `path`.
    std::string writeRoot(const std::string& path) const;

  private:
    X509Ptr root;  // this authority's own certificate
    PkeyPtr key;
    X509Ptr issuedBy;  // the parent's certificate, for an intermediate
};

// Writes `identity`'s certificate and key as PEM files.
void writePem(const SigningIdentity& identity, const std::string& certPath,
              const std::string& keyPath);

void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644);
std::string readFile(const std::string& path);

inline constexpr const char* kAppId = "com.ordwyn.app";
inline constexpr const char* kTeam = "T3AM42";

// Entitlements of the genuine app of `team`: sandboxed, with its team.
nlohmann::json appEntitlements(const std::string& team);

// Makes "<folder>/<name>" with an Info.plist naming `kAppId` and the
// executable "ordwyn", a copy of `program` as that executable, and a
// resource. Answers the bundle's path.
std::string makeBundle(const std::string& folder, const std::string& name,
                       const std::string& program = "/bin/sleep");
std::string executableOf(const std::string& bundle);

// Signs `bundle`; the test fails on error.
void sign(const std::string& bundle, const SigningIdentity& identity,
          const nlohmann::json& entitlements, const std::string& identifier = kAppId);

// A child process running `program` with `arguments`, started and waited for
// until its exec happened (or failed); killed and reaped when dropped.
// `beforeExec` runs in the child (e.g. to change its uid).
class Child {
  public:
    Child(const std::string& program, const std::vector<std::string>& arguments,
          const std::function<bool()>& beforeExec = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return processId; }
    bool started() const { return hasStarted; }
    // Waits until the child ends (after killing it) and reaps it.
    void reap();

  private:
    pid_t processId = -1;
    bool hasStarted = false;
};

}  // namespace vorsel::linux_platform::testing
