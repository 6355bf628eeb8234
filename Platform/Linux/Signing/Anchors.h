// The certificate authorities whose signatures Vorsel trusts, read from a PEM
// file (in production "Contents/Resources/anchors.pem" of Vorsel's own
// bundle). Every certificate in the file is a trust anchor: a chain that
// reaches any of them ends there. Read-only once loaded; any thread.
#pragma once

#include <string>

#include "Platform/Linux/Signing/OpenSslHandles.h"

namespace vorsel::linux_platform {

class Anchors {
  public:
    // Reads every certificate of the PEM file at `path`. A missing, unreadable
    // or empty file, or one with anything malformed in it, gives no anchors
    // (then nothing validates); `failure` says why.
    static Anchors load(const std::string& path, std::string* failure = nullptr);
    // The certificates in `pem`, under the same rules.
    static Anchors parse(const std::string& pem, std::string* failure = nullptr);

    bool empty() const { return anchorCount == 0; }
    int count() const { return anchorCount; }
    // The store to verify against; null when empty. Owned by this object.
    X509_STORE* store() const { return certificateStore.get(); }

  private:
    X509StorePtr certificateStore;
    int anchorCount = 0;
};

}  // namespace vorsel::linux_platform
