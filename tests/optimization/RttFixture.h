#pragma once
// A hidden GL window for the test suite with the render-to-texture resources made once per test.
#include "RenderToTexture.h"

#include "support/HiddenGLWindow.h"

#include <gtest/gtest.h>

#include <optional>

class RttGLTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { gl_ = new HiddenGLWindow(64); }
    static void TearDownTestSuite() {
        if (gl_->makeCurrent())
            releaseRTTtextures();
        delete gl_;
        gl_ = nullptr;
    }
    void SetUp() override {
        if (!gl_->makeCurrent())
            GTEST_SKIP() << gl_->skipReason;
        driver_.emplace();
        ASSERT_TRUE(initializeRTTtextures("./Shaders/"));
    }
    void TearDown() override { driver_.reset(); }
    static inline HiddenGLWindow* gl_ = nullptr;
    std::optional<DriverAllocations> driver_;
};
