// The platform's unit-test fixture: a fresh FakeBackend, and so fresh platform state, per test.
#pragma once

#include <gtest/gtest.h>

#include "fake_backend.h"

namespace test {

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto backend = std::make_unique<FakeBackend>();
        fake = backend.get();
        ozm::installBackend(std::move(backend));
    }
    void TearDown() override { ozm::uninstallBackend(); }

    FakeBackend* fake = nullptr;
};

}  // namespace test
