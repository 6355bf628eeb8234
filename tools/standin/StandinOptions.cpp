#include "tools/standin/StandinOptions.h"

#include <QDateTime>
#include <QString>
#include <cmath>
#include <cstdlib>

#include "Guard/Rules/GuardRules.h"

namespace vorsel::standin {

namespace {

std::optional<double> number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<TimePoint> instant(const std::string& text) {
    if (auto seconds = number(text)) return seconds;
    const QDateTime date = QDateTime::fromString(QString::fromStdString(text), Qt::ISODateWithMs);
    if (!date.isValid()) return std::nullopt;
    return static_cast<double>(date.toMSecsSinceEpoch()) / 1000.0 - kReferenceSinceUnixEpoch;
}

// Parses the options of one session command from args[i], moving i past them.
std::variant<Call, std::string> session(const std::vector<std::string>& args, size_t& i,
                                        const Context& context, bool& print) {
    std::vector<std::string> close, allBut;
    bool closeAll = false, hardcore = false;
    std::optional<TimePoint> until;
    std::optional<double> minutes;
    while (i < args.size() && args[i].rfind("--", 0) == 0) {
        const std::string option = args[i++];
        const bool hasValue = i < args.size();
        if (option == "--hardcore") {
            hardcore = true;
        } else if (option == "--print") {
            print = true;
        } else if (option == "--close-all") {
            closeAll = true;
        } else if ((option == "--close" || option == "--all-but") && hasValue) {
            (option == "--close" ? close : allBut).push_back(args[i++]);
        } else if (option == "--minutes" && hasValue) {
            minutes = number(args[i++]);
            if (!minutes || *minutes < 0) return "--minutes takes a number of minutes";
        } else if (option == "--until" && hasValue) {
            until = instant(args[i++]);
            if (!until) return "--until takes seconds since 2001-01-01 UTC or an ISO 8601 date";
        } else {
            return "session: unknown or incomplete option " + option;
        }
    }
    if (int(!close.empty()) + int(!allBut.empty()) + int(closeAll) > 1)
        return "session: --close, --all-but and --close-all exclude each other";
    if (minutes && until) return "session: --minutes and --until exclude each other";

    GuardRules rules;
    if (!close.empty()) rules.closing = Closing::listed(close);
    if (!allBut.empty()) rules.closing = Closing::allBut(allBut);
    if (closeAll) rules.closing = Closing::allBut({});
    const TimePoint end = until ? *until : context.now + 60 * minutes.value_or(30);
    rules.closingEnds = end;
    if (hardcore) {
        if (!context.identifier || !context.bundle)
            return "session: --hardcore needs the stand-in to run from its bundle";
        rules.keepOpen = Kept{*context.identifier, *context.bundle, end};
    }
    auto json = rules.written();
    if (!json) return "session: these rules cannot be written";
    return Call{Call::Kind::hold, *json};
}

}  // namespace

std::variant<Options, std::string> parse(const std::vector<std::string>& args,
                                         const Context& context, ReadFile readFile) {
    Options options;
    size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) return option + " needs a value";
        const std::string& value = args[++i];
        if (option == "--bus") {
            options.bus = value;
        } else if (option == "--name") {
            options.name = value;
        } else if (option == "--timeout") {
            auto seconds = number(value);
            if (!seconds || *seconds <= 0) return "--timeout takes a number of seconds";
            options.timeout = *seconds;
        } else {
            return "unknown option " + option;
        }
    }
    while (i < args.size()) {
        const std::string command = args[i++];
        if (command == "version") {
            options.calls.push_back({Call::Kind::version, {}});
        } else if (command == "held") {
            options.calls.push_back({Call::Kind::held, {}});
        } else if (command == "then" || command == "wait") {
            options.calls.push_back({command == "then" ? Call::Kind::then : Call::Kind::wait, {}});
        } else if (command == "hold") {
            if (i >= args.size()) return "hold needs a FILE, or - for standard input";
            auto rules = readFile(args[i]);
            if (!rules) return "couldn't read " + args[i];
            ++i;
            options.calls.push_back({Call::Kind::hold, std::move(*rules)});
        } else if (command == "session") {
            auto call = session(args, i, context, options.print);
            if (auto* problem = std::get_if<std::string>(&call)) return *problem;
            options.calls.push_back(std::get<Call>(std::move(call)));
        } else {
            return "unknown command " + command;
        }
    }
    if (options.calls.empty()) return "no command given";
    return options;
}

}  // namespace vorsel::standin
