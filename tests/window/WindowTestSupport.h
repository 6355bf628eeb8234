// What the window tests share: a main bundle at a chosen path, a login-item
// service whose answers a test sets, and a fresh data folder per test.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Guard/App/GuardInstall.h"
#include "Platform/Bundles.h"
#include "Platform/LoginItems.h"

namespace vorsel::window_tests {

class FakeBundles final : public Bundles {
  public:
    explicit FakeBundles(std::optional<std::string> path) : path(std::move(path)) {}
    std::optional<std::string> mainPath() const override { return path; }
    std::optional<std::string> mainIdentifier() const override { return "com.ordwyn.guard"; }
    std::optional<std::string> infoText(const std::string&) const override { return {}; }
    std::optional<std::string> path;
};

// Registration that a test steers. Unregister completes later, through the
// event loop, as the real service does.
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

// A GuardInstall over a FakeLoginItems, counting how often the handle is made.
struct FakeInstall {
    explicit FakeInstall(std::optional<std::string> bundlePath = "/opt/Vorsel.app")
        : bundles(std::move(bundlePath)), install(bundles, [this] {
              ++made;
              auto fake = std::make_unique<FakeLoginItems>();
              items = fake.get();
              return fake;
          }) {}

    // The fake service, made on demand like the real handle.
    FakeLoginItems& service() {
        install.service();
        return *items;
    }

    FakeBundles bundles;
    int made = 0;
    FakeLoginItems* items = nullptr;
    GuardInstall install;
};

// Points $XDG_DATA_HOME at a fresh folder for the length of a test.
class TempDataTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        saved = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", folder.path().toUtf8());
    }
    void TearDown() override { qputenv("XDG_DATA_HOME", saved); }

    std::string dataFolder() const { return folder.path().toStdString(); }

    QTemporaryDir folder;
    QByteArray saved;
};

}  // namespace vorsel::window_tests
