// Registration that a test steers: the answers it sets, the calls counted.
// Unregister completes later, through the Qt event loop, as the real service
// does, so it needs a QCoreApplication. Main thread only.
#pragma once

#include <QCoreApplication>
#include <QTimer>

#include <functional>
#include <optional>
#include <string>

#include "Platform/LoginItems.h"

namespace vorsel::fakes {

class FakeLoginItems final : public LoginItems {
  public:
    LoginItemStatus status() override {
        ++statusReads;
        return current;
    }
    std::optional<std::string> registerAgent() override {
        ++registers;
        if (!registerError) current = LoginItemStatus::enabled;
        return registerError;
    }
    void unregisterAgent(std::function<void(std::optional<std::string>)> done) override {
        ++unregisters;
        const auto error = unregisterError;
        QTimer::singleShot(0, QCoreApplication::instance(), [this, error, done] {
            if (!error) current = LoginItemStatus::notRegistered;
            done(error);
        });
    }
    void openSettings() override { ++settingsOpened; }

    LoginItemStatus current = LoginItemStatus::notRegistered;
    std::optional<std::string> registerError;
    std::optional<std::string> unregisterError;
    int statusReads = 0;
    int registers = 0;
    int unregisters = 0;
    int settingsOpened = 0;
};

}  // namespace vorsel::fakes
