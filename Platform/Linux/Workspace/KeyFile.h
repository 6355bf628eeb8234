// The freedesktop "key file" text of desktop entries and mimeapps.list:
// "[Group]" headers, "Key=Value" lines, '#' comments. Only what this system
// reads: unlocalised keys of the groups asked for, escapes undone, lists
// split on ';'. Pure functions on text; any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorsel::linux_platform {

// Keys and their raw values, by group name.
using KeyFileGroups = std::map<std::string, std::map<std::string, std::string>>;

// The unlocalised keys ("Name", not "Name[de]") of the groups named in
// `groups`. Lines that are neither a header, a comment nor "Key=Value" are
// skipped; a key given twice keeps its first value. Never fails: any text,
// however broken, gives what could be read of it.
KeyFileGroups parseKeyFile(std::string_view text, const std::vector<std::string>& groups);

// The text of a key file of at most `limit` bytes; nothing when it cannot be
// read, is not a regular file's text, or is larger (a key file that big is
// not one this system wants).
std::optional<std::string> readKeyFileText(const std::string& path, std::size_t limit = 1 << 20);

// A string value with its escapes undone: "\s" space, "\n", "\t", "\r",
// "\\"; any other escape is kept as it stands.
std::string keyFileString(std::string_view raw);

// A list value: split on each ';' not escaped as "\;", escapes undone in
// each item, empty items dropped.
std::vector<std::string> keyFileList(std::string_view raw);

// A boolean value: "true" or "1" is yes, anything else no.
bool keyFileBoolean(std::string_view raw);

}  // namespace vorsel::linux_platform
