// Surfaces drawn into textures through the real transform feedback (hidden window under Xvfb). Runs in the
// directory of the executables, where Shaders/ lies.
#include "RenderToTexture.h"

#include "support/CaptureStdout.h"
#include "RttFixture.h"

#include <GL/glew.h>
#include <gtest/gtest.h>

#include <optional>

namespace {

class RTT : public RttGLTest {
protected:
    void TearDown() override {
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
        RttGLTest::TearDown();
    }
};

// A flat square roof of (side + 1)² splats, its centre splat last.
std::vector<Splat> roof(int side, int step) {
    std::vector<Splat> s;
    for (int y = 0; y <= side; ++y)
        for (int x = 0; x <= side; ++x)
            if (x != side / 2 || y != side / 2)
                s.push_back({x * step, y * step, 100, 0, 0, 1});
    s.push_back({side / 2 * step, side / 2 * step, 100, 0, 0, 1});
    return s;
}

std::vector<float> texels(GLuint texture, GLenum format, int components, int w, int h) {
    std::vector<float> out(size_t(w) * h * components);
    glBindTexture(GL_TEXTURE_2D, texture);
    glGetTexImage(GL_TEXTURE_2D, 0, format, GL_FLOAT, out.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    return out;
}

TEST_F(RTT, SplatsMapIntoTheTextureAndTheCentreToItsMiddle) {
    TreeFrame frame;
    frame.offsets[2] = -100;
    frame.scale[0] = frame.scale[1] = frame.scale[2] = 0.01;
    const std::vector<Splat> splats = roof(10, 10);
    const std::vector<Color> colors(splats.size(), Color{65535, 0, 0});
    RenderToTextureSetup setup;
    ASSERT_TRUE(prepareRTT(splats, frame, setup));
    std::vector<float> tc;
    const std::vector<unsigned> textures = renderToTexture(splats, colors, tc, frame, 0.2f, true, true, setup);
    ASSERT_EQ(textures.size(), 2u);
    ASSERT_EQ(tc.size(), 2 * splats.size());
    EXPECT_NEAR(tc[tc.size() - 2], 0.5f, 1e-4);
    EXPECT_NEAR(tc[tc.size() - 1], 0.5f, 1e-4);
    // Corner splats sit 2.5 texels inside the edges; x grows to the right and y up.
    EXPECT_NEAR(tc[0], 2.5f / setup.width, 1e-3);
    EXPECT_NEAR(tc[1], 2.5f / setup.height, 1e-3);
    EXPECT_NEAR(tc[2 * 10], 1 - 2.5f / setup.width, 1e-3);

    // The middle texel holds the splats' colour and the roof's upward normal (stored as n / 2 + 1/2).
    const int w = setup.width, h = setup.height;
    const size_t mid = size_t(h / 2) * w + w / 2;
    const std::vector<float> colour = texels(textures[0], GL_RGB, 3, w, h);
    EXPECT_NEAR(colour[3 * mid], 1.0f, 0.02f);
    EXPECT_NEAR(colour[3 * mid + 1], 0.0f, 0.02f);
    const std::vector<float> normal = texels(textures[1], GL_RGB, 3, w, h);
    EXPECT_NEAR(normal[3 * mid + 2], 1.0f, 0.01f);
    EXPECT_NEAR(normal[3 * mid], 0.5f, 0.01f);
    glDeleteTextures(GLsizei(textures.size()), textures.data());
}

TEST_F(RTT, ColoursOnlyAfterNormalsLeavesTheEarlierTexturesAlone) {
    const TreeFrame frame;
    const std::vector<Splat> first = roof(8, 10);
    RenderToTextureSetup a;
    ASSERT_TRUE(prepareRTT(first, frame, a));
    std::vector<float> tc;
    const std::vector<unsigned> withNormals =
        renderToTexture(first, std::vector<Color>(first.size(), Color{0, 65535, 0}), tc, frame, 20, true, true, a);
    ASSERT_EQ(withNormals.size(), 2u);
    const std::vector<float> before = texels(withNormals[1], GL_RGB, 3, a.width, a.height);

    // A tilted surface, colours only.
    std::vector<Splat> second;
    for (int i = 0; i < 50; ++i)
        second.push_back({i * 7 % 70, i * 3, i * 2, 0.6f, 0, 0.8f});
    RenderToTextureSetup b;
    ASSERT_TRUE(prepareRTT(second, frame, b));
    const std::vector<unsigned> coloursOnly =
        renderToTexture(second, std::vector<Color>(second.size(), Color{0, 0, 65535}), tc, frame, 20, false, true, b);
    ASSERT_EQ(coloursOnly.size(), 1u);
    EXPECT_EQ(texels(withNormals[1], GL_RGB, 3, a.width, a.height), before);

    // Nothing stays attached to the shared frame buffer, so the results can be sampled.
    glBindFramebuffer(GL_FRAMEBUFFER, rttFB());
    for (GLenum attachment : {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1}) {
        GLint name = -1;
        glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, attachment, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &name);
        EXPECT_EQ(name, 0);
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteTextures(2, withNormals.data());
    glDeleteTextures(1, coloursOnly.data());
}

TEST_F(RTT, SurfacesTheGLCannotHoldStaySplats) {
    const TreeFrame frame;
    const std::vector<Splat> splats = roof(4, 10);
    RenderToTextureSetup setup;
    ASSERT_TRUE(prepareRTT(splats, frame, setup));
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    setup.width = maxSize + 1;
    std::vector<float> tc = {1, 2};
    StdoutCapture out;
    EXPECT_TRUE(renderToTexture(splats, {}, tc, frame, 20, true, false, setup).empty());
    EXPECT_NE(out.take().find("stays splats"), std::string::npos);
    EXPECT_TRUE(tc.empty());
    // Missing colours fall back to normals alone instead of reading past the colour list.
    setup.width = 16;
    setup.height = 16;
    const std::vector<unsigned> normalsOnly =
        renderToTexture(splats, std::vector<Color>(3), tc, frame, 20, true, true, setup);
    EXPECT_EQ(normalsOnly.size(), 1u);
    EXPECT_EQ(tc.size(), 2 * splats.size());
    glDeleteTextures(GLsizei(normalsOnly.size()), normalsOnly.data());
}

} // namespace
