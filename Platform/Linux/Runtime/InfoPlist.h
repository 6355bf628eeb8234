// App bundles on Linux: "Name.app/Contents/Info.plist" (an XML property list),
// the executable in "Contents/Linux/", resources in "Contents/Resources/".
// These helpers read them for every adapter that needs to (the main bundle,
// running apps, signatures). Pure file reads; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace vorsel::linux_platform {

// The top-level dictionary of an Info.plist, reduced to the value kinds
// bundles use here: text, booleans and integers. Other values are left out,
// so asking for them reads as absent.
class InfoPlist {
  public:
    using Value = std::variant<std::string, bool, long long>;

    // Parses an XML property list; nothing when it is unreadable, not XML, or
    // its top level is not a dictionary.
    static std::optional<InfoPlist> load(const std::string& path);
    static std::optional<InfoPlist> parse(const std::string& xml);

    // The value of `key` if it is of the asked kind, else nothing.
    std::optional<std::string> text(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;

  private:
    std::map<std::string, Value> values;
};

// The whole text of the regular file at `path`: nothing when it cannot be
// read or is larger than `maxSize` bytes (property lists are small; a huge one
// is not read at all). Unlike the /proc reader, which truncates, it never
// returns part of a file.
std::optional<std::string> readBoundedFile(const std::string& path, std::uintmax_t maxSize);

// The bundle that holds `executable` as its main program: the folder X when
// `executable` is "X/Contents/Linux/<name>". Purely lexical; nothing when the
// path does not have that shape.
std::optional<std::string> bundleAround(const std::string& executable);

// "<bundle>/Contents/Info.plist".
std::string infoPlistPath(const std::string& bundle);

}  // namespace vorsel::linux_platform
