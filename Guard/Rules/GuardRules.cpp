#include "Guard/Rules/GuardRules.h"

#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

namespace vorsel {

namespace {

using Json = nlohmann::json;

bool fail(std::string* error, const char* why) {
    if (error) *error = why;
    return false;
}

// A member that is absent or null counts as not given.
const Json* member(const Json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

// Numbers beyond a double's range parse as infinities; they are no time point.
bool timePoint(const Json& value, TimePoint& out) {
    if (!value.is_number()) return false;
    out = value.get<double>();
    return std::isfinite(out);
}

bool readApps(const Json& object, std::vector<std::string>& apps, std::string* error) {
    const Json* value = member(object, "apps");
    if (!value) return true;
    if (!value->is_array()) return fail(error, "\"apps\" is not an array");
    for (const Json& app : *value) {
        if (!app.is_string()) return fail(error, "\"apps\" holds something other than text");
        apps.push_back(app.get<std::string>());
    }
    return true;
}

bool readKept(const Json& object, std::optional<Kept>& kept, std::string* error) {
    const Json* value = member(object, "keepOpen");
    if (!value) return true;
    if (!value->is_object()) return fail(error, "\"keepOpen\" is not an object");
    const Json* bundleID = member(*value, "bundleID");
    const Json* path = member(*value, "path");
    const Json* until = member(*value, "until");
    Kept result;
    if (!bundleID || !bundleID->is_string())
        return fail(error, "\"keepOpen.bundleID\" is not text");
    if (!path || !path->is_string()) return fail(error, "\"keepOpen.path\" is not text");
    if (!until || !timePoint(*until, result.until))
        return fail(error, "\"keepOpen.until\" is not a time point");
    result.bundleID = bundleID->get<std::string>();
    result.path = path->get<std::string>();
    kept = std::move(result);
    return true;
}

void appendString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xf];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

// Shortest text that reads back as the same double.
bool appendNumber(std::string& out, double value) {
    if (!std::isfinite(value)) return false;
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec != std::errc()) return false;
    out.append(buffer, end);
    return true;
}

}  // namespace

Closing Closing::listed(std::vector<std::string> apps) { return {Case::listed, std::move(apps)}; }
Closing Closing::allBut(std::vector<std::string> apps) { return {Case::allBut, std::move(apps)}; }
Closing Closing::nothing() { return {}; }

bool GuardRules::closingInForce(TimePoint now) const {
    return closing.kind() != Closing::Case::nothing && now < closingEnds;
}

bool GuardRules::keepOpenInForce(TimePoint now) const { return keepOpen && now < keepOpen->until; }

GuardRules GuardRules::capped(TimePoint now) const {
    const TimePoint limit = now + kRulesCap;
    GuardRules result = *this;
    if (limit < result.closingEnds) result.closingEnds = limit;
    if (result.keepOpen && limit < result.keepOpen->until) result.keepOpen->until = limit;
    return result;
}

bool GuardRules::isOver(TimePoint now) const {
    return !closingInForce(now) && !keepOpenInForce(now);
}

std::optional<GuardRules> GuardRules::read(std::string_view json, std::string* error) {
    Json object = Json::parse(json.begin(), json.end(), nullptr, false);
    if (object.is_discarded()) return fail(error, "not JSON"), std::nullopt;
    if (!object.is_object()) return fail(error, "not a JSON object"), std::nullopt;

    // The steps run in this order so that the first fault reported is always
    // the same one, whatever order the members came in.
    GuardRules rules;
    std::vector<std::string> apps;
    if (!readApps(object, apps, error)) return std::nullopt;

    if (const Json* closing = member(object, "closing")) {
        if (!closing->is_string()) return fail(error, "\"closing\" is not text"), std::nullopt;
        const auto& name = closing->get_ref<const std::string&>();
        if (name == "listed") rules.closing = Closing::listed(std::move(apps));
        if (name == "allBut") rules.closing = Closing::allBut(std::move(apps));
    }

    if (const Json* ends = member(object, "closingEnds")) {
        if (!timePoint(*ends, rules.closingEnds))
            return fail(error, "\"closingEnds\" is not a time point"), std::nullopt;
    }

    if (!readKept(object, rules.keepOpen, error)) return std::nullopt;
    return rules;
}

std::optional<std::string> GuardRules::written() const {
    std::string out = "{\"closing\":";
    switch (closing.kind()) {
        case Closing::Case::listed:
            out += "\"listed\"";
            break;
        case Closing::Case::allBut:
            out += "\"allBut\"";
            break;
        case Closing::Case::nothing:
            out += "\"nothing\"";
            break;
    }
    if (closing.kind() != Closing::Case::nothing) {
        out += ",\"apps\":[";
        for (size_t i = 0; i < closing.apps().size(); ++i) {
            if (i) out += ',';
            appendString(out, closing.apps()[i]);
        }
        out += ']';
    }
    out += ",\"closingEnds\":";
    if (!appendNumber(out, closingEnds)) return std::nullopt;
    if (keepOpen) {
        out += ",\"keepOpen\":{\"bundleID\":";
        appendString(out, keepOpen->bundleID);
        out += ",\"path\":";
        appendString(out, keepOpen->path);
        out += ",\"until\":";
        if (!appendNumber(out, keepOpen->until)) return std::nullopt;
        out += '}';
    }
    out += '}';
    return out;
}

const std::unordered_set<std::string>& GuardNames::family() {
    static const std::unordered_set<std::string> names{"com.ordwyn.app", "com.ordwyn.app.dev",
                                                       "com.ordwyn.guard", "com.ordwyn.guard.dev"};
    return names;
}

const std::unordered_set<std::string>& GuardNames::systemApps() {
    static const std::unordered_set<std::string> names{
        "com.apple.finder",
        "com.apple.dock",
        "com.apple.systemuiserver",
        "com.apple.controlcenter",
        "com.apple.notificationcenterui",
        "com.apple.loginwindow",
        "com.apple.WindowManager",
        "com.apple.Spotlight",
        "com.apple.preference.security",
        "com.apple.systempreferences",
        "com.apple.ScreenSaver.Engine",
        "com.apple.installer",
        "com.apple.DiskUtility",
        "com.apple.MigrateAssistant",
    };
    return names;
}

const std::unordered_set<std::string>& GuardNames::browsers() {
    static const std::unordered_set<std::string> names{
        "com.apple.Safari",      "com.google.Chrome",          "com.google.Chrome.canary",
        "org.mozilla.firefox",   "company.thebrowser.Browser", "com.brave.Browser",
        "com.microsoft.edgemac", "com.operasoftware.Opera",    "com.vivaldi.Vivaldi",
        "com.kagi.kagimacOS",
    };
    return names;
}

std::string GuardNames::appRequirement(std::string_view identifier, std::string_view team) {
    std::string text = "anchor apple generic and identifier \"";
    text += identifier;
    text += "\" and entitlement[\"com.apple.security.app-sandbox\"] exists";
    text +=
        " and (((certificate leaf[field.1.2.840.113635.100.6.1.9] exists or certificate "
        "leaf[field.1.2.840.113635.100.6.1.25.1] exists)";
    text += " and entitlement[\"com.apple.developer.team-identifier\"] = \"";
    text += team;
    text += "\") or certificate leaf[subject.OU] = \"";
    text += team;
    text += "\")";
    return text;
}

}  // namespace vorsel
