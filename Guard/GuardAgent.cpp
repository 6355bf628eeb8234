#include "Guard/GuardAgent.h"

namespace vorsel {

std::string GuardAgent::kind(const GuardRules& rules, TimePoint now) {
    std::string text;
    auto add = [&text](const std::string& phrase) {
        if (!text.empty()) text += ", ";
        text += phrase;
    };
    if (rules.closingInForce(now)) {
        const auto count = std::to_string(rules.closing.apps().size());
        if (rules.closing.kind() == Closing::Case::listed)
            add("closing " + count + " listed apps");
        else
            add("closing every app but " + count);
    }
    if (rules.keepOpenInForce(now)) add("keeping the app open");
    return text.empty() ? "nothing" : text;
}

}  // namespace vorsel
