// What the window tests share: GuardInstall over the fake bundle and login
// items (tests/fakes/), and a fresh data folder per test.
#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <string>

#include "Guard/App/GuardInstall.h"
#include "tests/fakes/FakeBundles.h"
#include "tests/fakes/FakeLoginItems.h"

namespace vorsel::window_tests {

using fakes::FakeBundles;
using fakes::FakeLoginItems;

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
