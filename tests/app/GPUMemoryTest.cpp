#include "GPUMemory.h"

#include <gtest/gtest.h>

#include "support/HiddenGLWindow.h"

#include <cstring>
#include <string>

namespace {

// A hidden window with a GL context, shared by the tests of this file.
class GPUMemory : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gl = new HiddenGLWindow;
        window = gl->window;
        context = gl->context;
        skipReason = gl->skipReason;
    }

    static void TearDownTestSuite() {
        delete gl;
        gl = nullptr;
        context = nullptr;
        window = nullptr;
    }

    void SetUp() override {
        if (!skipReason.empty())
            GTEST_SKIP() << skipReason;
        const DriverAllocations notLeaks;
        ASSERT_EQ(SDL_GL_MakeCurrent(window, context), 0) << SDL_GetError();
        while (glGetError() != GL_NO_ERROR) {
        }
    }

    // Read independently of the code under test, from the compatibility context's extension string.
    static bool driverHasNvxMemoryInfo() {
        const auto* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
        return extensions != nullptr && std::strstr(extensions, "GL_NVX_gpu_memory_info") != nullptr;
    }

    static inline HiddenGLWindow* gl = nullptr;
    static inline SDL_Window* window = nullptr;
    static inline SDL_GLContext context = nullptr;
    static inline std::string skipReason;
};

TEST_F(GPUMemory, ValuesMatchTheExtensionAndLeaveNoGLError) {
    const bool present = driverHasNvxMemoryInfo();
    ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    const int used = getUsedGPUmem();
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    const int free = getFreeGPUmem();
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    if (present) {
        EXPECT_GT(free, 0);
        EXPECT_GE(used, 0);
    } else {
        EXPECT_EQ(used, 0);
        EXPECT_EQ(free, 0);
    }
}

TEST_F(GPUMemory, PrintsOnlyWhenTheExtensionIsPresent) {
    const bool present = driverHasNvxMemoryInfo();
    testing::internal::CaptureStdout();
    printGPUmem();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    if (present) {
        EXPECT_EQ(printed.rfind("GPU MEMORY: ", 0), 0u) << printed;
        EXPECT_NE(printed.find(" kB free out of "), std::string::npos) << printed;
        EXPECT_NE(printed.find(" kB total.\n"), std::string::npos) << printed;
    } else {
        EXPECT_EQ(printed, "");
    }
}

TEST_F(GPUMemory, MesaSoftwareRendererHasNoMemoryInfo) {
    const auto* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    ASSERT_NE(renderer, nullptr);
    if (std::strstr(renderer, "llvmpipe") == nullptr)
        GTEST_SKIP() << "renderer is " << renderer << ", not Mesa llvmpipe";
    EXPECT_FALSE(driverHasNvxMemoryInfo());
    EXPECT_EQ(getUsedGPUmem(), 0);
    EXPECT_EQ(getFreeGPUmem(), 0);
    testing::internal::CaptureStdout();
    printGPUmem();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(GPUMemory, WithoutACurrentContextValuesAreZero) {
    {
        const DriverAllocations notLeaks;
        ASSERT_EQ(SDL_GL_MakeCurrent(window, nullptr), 0) << SDL_GetError();
    }
    EXPECT_EQ(getUsedGPUmem(), 0);
    EXPECT_EQ(getFreeGPUmem(), 0);
    testing::internal::CaptureStdout();
    printGPUmem();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

} // namespace
