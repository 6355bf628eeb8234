// A fresh folder for one test, removed with everything in it when the object
// goes. Test code only; one thread at a time.
#pragma once

#include <string>

namespace vorsel::testing {

class TempFolder {
  public:
    enum class Access {
        owner,     // 0700, as mkdtemp makes it
        everyone,  // 0755: a child running as another uid may enter it
    };

    // "/tmp/<prefix>.XXXXXX". path() is empty when it could not be made.
    explicit TempFolder(const std::string& prefix = "vorsel-test", Access access = Access::owner);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return location; }

  private:
    std::string location;
};

}  // namespace vorsel::testing
