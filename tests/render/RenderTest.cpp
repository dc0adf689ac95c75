// The renderer's programs, uniforms and frame buffer, and the settings panel, on a real GL context
// (hidden window under Xvfb). Runs in the directory of the executables, where Shaders/ and the font lie.
#include "EventHandler.h"
#include "GUI.h"
#include "Renderer.h"
#include "Viewer.h"

#include "support/CaptureStdout.h"
#include "support/HiddenGLWindow.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>

namespace {

class GL : public ::testing::Test {
protected:
    static void SetUpTestSuite() { gl_ = new HiddenGLWindow(256); }
    static void TearDownTestSuite() {
        delete gl_;
        gl_ = nullptr;
    }
    void SetUp() override {
        if (!gl_->makeCurrent())
            GTEST_SKIP() << gl_->skipReason;
        // Shader compilation and texture uploads allocate inside the GL driver, which keeps some until exit.
        driver_.emplace();
    }
    void TearDown() override { driver_.reset(); }
    static inline HiddenGLWindow* gl_ = nullptr;
    std::optional<DriverAllocations> driver_;
};

TEST_F(GL, EveryProgramCompilesAndLinks) {
    StdoutCapture out;
    initShaders(true);
    const std::string printed = out.take();
    EXPECT_EQ(printed.find("compile error"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("fail"), std::string::npos) << printed;
    size_t links = 0;
    for (size_t at = printed.find("Link status true"); at != std::string::npos;
         at = printed.find("Link status true", at + 1))
        ++links;
    EXPECT_EQ(links, 12u);
    for (GLuint* p : pbrShaderPrograms) {
        GLint linked = 0;
        glGetProgramiv(*p, GL_LINK_STATUS, &linked);
        EXPECT_TRUE(linked) << "program " << *p;
    }
    for (GLuint* p : triShaderPrograms) {
        GLint linked = 0;
        glGetProgramiv(*p, GL_LINK_STATUS, &linked);
        EXPECT_TRUE(linked) << "program " << *p;
    }
    GLint current = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(current, 0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// Each program's uniforms are set while that program is in use: every visibility and attribute program
// gets the radius of the level drawn, without a GL error.
TEST_F(GL, UniformsReachEveryProgram) {
    {
        StdoutCapture quiet;
        initShaders(true);
        renderSettings.init();
    }
    ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    glUseProgram(shadingPass);
    renderSettings.loadRadius(0.25);
    renderSettings.loadBrightnessContrast(1.5f, 0.75f);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    GLint current = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(GLuint(current), shadingPass); // restored
    // The programs whose shaders read the radius (the shading ones declare it without using it).
    for (GLuint p : {visibilityPass, attributePass, attributePassColor}) {
        float r = 0;
        glGetUniformfv(p, glGetUniformLocation(p, "radius"), &r);
        EXPECT_EQ(r, 0.25f) << "program " << p;
    }
    for (GLuint p : {shadingPass, shadingPassColor, shadingPassLight, shadingPassColorLight}) {
        float b = 0, c = 0;
        glGetUniformfv(p, glGetUniformLocation(p, "brightness"), &b);
        glGetUniformfv(p, glGetUniformLocation(p, "contrast"), &c);
        EXPECT_EQ(b, 1.5f);
        EXPECT_EQ(c, 0.75f);
    }
    glUseProgram(0);
}

TEST_F(GL, FrameBufferStaysCompleteAcrossResizes) {
    StdoutCapture quiet;
    initTexturesAndBuffers(64, 48);
    EXPECT_EQ(frameBufferStatus(), GLenum(GL_FRAMEBUFFER_COMPLETE));
    resizeTexturesAndBuffers(1920, 1080);
    EXPECT_EQ(frameBufferStatus(), GLenum(GL_FRAMEBUFFER_COMPLETE));
    for (GLuint t : {depthTextureMain, normalTextureMain, colorTextureMain}) {
        glBindTexture(GL_TEXTURE_2D, t);
        GLint w = 0, h = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
        EXPECT_EQ(w, 1920);
        EXPECT_EQ(h, 1080);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// Without a font (or with a blank label) text renders to nothing: the panel still draws and hit-tests.
TEST_F(GL, PanelWithoutAFontOrWithBlankText) {
    SDL_FreeSurface(textRenderer.generateText("x")); // the font as the panel would have loaded it
    TTF_Font* font = textRenderer.font;
    textRenderer.font = nullptr;
    {
        GUI panel(400, 300);
        panel.addEntry("");
        panel.addEntry("Lighting", true, false);
        panel.drawGUI(0, 0);
        EXPECT_EQ(panel.checkMouseClick(5, 5), 0); // nothing drawn, nothing to hit
        panel.initEdit();
    }
    textRenderer.font = font;
    GUI blank(400, 300);
    blank.addEntry("");
    blank.drawGUI(0, 0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST(ShaderFiles, LoadedWhole) {
    TempDir dir;
    const std::string path = dir.file("brace.fp");
    std::ofstream(path, std::ios::binary) << "void main() {}"; // no final newline
    StdoutCapture quiet;
    char* text = loadShaderFromFile(path.c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), "void main() {}");
    std::free(text);
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadShaderFromFile(dir.file("missing.fp").c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Can't open file '" + dir.file("missing.fp") + "' for reading\n");
}

class Panel : public GL {
protected:
    void SetUp() override {
        GL::SetUp();
        if (IsSkipped())
            return;
        SDL_FreeSurface(textRenderer.generateText("x"));
        ASSERT_NE(textRenderer.font, nullptr) << "VeraMono.ttf not found in the working directory";
        panel = makeSettingsPanel(1024, 768, 1.5);
        panel->drawGUI(0, 0);
        lineHeight = panel->entries.begin()->second->textureHeight;
    }
    // Clicks the n-th entry in drawing order.
    int click(int n) { return panel->checkMouseClick(5, n * lineHeight + lineHeight / 2); }

    std::unique_ptr<GUI> panel;
    int lineHeight = 0;
};

TEST_F(Panel, EntriesInNameOrderWithTheirTexts) {
    std::vector<std::string> names;
    for (auto& [name, entry] : panel->entries)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Brightness", "Color mode", "Contrast", "Draw LOD grid",
                                               "Eye-dome lighting", "FPS", "Frame time target", "GPU memory",
                                               "Grid expansion", "Lighting", "Mark current request",
                                               "Mesh mode", "Min projected size", "Point budget",
                                               "Radius modifier", "Screen mode"}));
    EXPECT_EQ(panel->getEntry("Point budget")->text(), "Point budget = 3000000");
    EXPECT_EQ(panel->getEntry("Brightness")->text(), "Brightness = 1.3000000000000000");
    EXPECT_EQ(panel->getEntry("Lighting")->text(), "Lighting = Enabled");
    EXPECT_EQ(panel->getEntry("GPU memory")->text(), "GPU memory = 0");
    EXPECT_EQ(panel->getEntry("Screen mode")->text(), "Screen mode = 1024x768");
    EXPECT_GT(lineHeight, 8);
}

TEST_F(Panel, ClicksAdvanceChoicesAndWrap) {
    EXPECT_EQ(click(15), 1);
    EXPECT_EQ(click(15), 1);
    EXPECT_EQ(panel->getEntry("Screen mode")->getValue(), 6); // 1280x768
    for (int i = 0; i < 7; ++i)
        click(15);
    EXPECT_EQ(panel->getEntry("Screen mode")->getValue(), 13); // 1920x1080
    click(15);
    EXPECT_EQ(panel->getEntry("Screen mode")->getValue(), 0); // wraps to 400x300
    click(9);
    EXPECT_EQ(panel->getEntry("Lighting")->getValue(), 0);
    // The colour modes: the four of the data's own values, then the four by attribute, then round again.
    for (const char* mode :
         {"Normals", "Depth", "Elevation", "Intensity", "Classification", "Return", "OFF", "LAS"}) {
        click(1);
        EXPECT_EQ(panel->getEntry("Color mode")->text(), std::string("Color mode = ") + mode);
    }
    GUIEntry* selected = panel->selected;
    EXPECT_EQ(panel->checkMouseClick(5, 16 * lineHeight + 40), 0); // below the last entry
    EXPECT_EQ(panel->selected, selected);
}

TEST_F(Panel, KeyTAndAClickToggleMeshMode) {
    GLEventHandler h;
    h.panel = panel.get();
    SDL_Event t{};
    t.type = SDL_KEYDOWN;
    t.key.keysym.sym = SDLK_t;
    EXPECT_EQ(panel->getEntry("Mesh mode")->text(), "Mesh mode = Disabled");
    h.handleEvent(t, 0);
    EXPECT_TRUE(h.meshMode);
    EXPECT_EQ(panel->getEntry("Mesh mode")->text(), "Mesh mode = Enabled");
    h.handleEvent(t, 0);
    EXPECT_FALSE(h.meshMode);
    EXPECT_EQ(panel->getEntry("Mesh mode")->getValue(), 0);
    click(11);
    EXPECT_EQ(panel->getEntry("Mesh mode")->getValue(), 1);

    // Key e switches eye-dome lighting, [ and ] halve and double the point budget within its bounds.
    t.key.keysym.sym = SDLK_e;
    h.handleEvent(t, 0);
    EXPECT_TRUE(h.eyeDomeLighting);
    EXPECT_EQ(panel->getEntry("Eye-dome lighting")->text(), "Eye-dome lighting = Enabled");
    t.key.keysym.sym = SDLK_RIGHTBRACKET;
    h.handleEvent(t, 0);
    EXPECT_EQ(h.pointBudget, 6000000);
    EXPECT_EQ(panel->getEntry("Point budget")->text(), "Point budget = 6000000");
    t.key.keysym.sym = SDLK_LEFTBRACKET;
    for (int i = 0; i < 20; ++i)
        h.handleEvent(t, 0);
    EXPECT_EQ(h.pointBudget, kMinPointBudget);
}

TEST_F(Panel, TypingANumber) {
    ASSERT_EQ(click(8), 1); // Grid expansion
    panel->enterMinus();
    panel->enterNumber('1');
    panel->enterDot();
    panel->enterNumber('5');
    panel->enterDot(); // a second dot is ignored
    EXPECT_EQ(panel->editText, "-1.5");
    panel->confirmEdit();
    EXPECT_EQ(panel->getEntry("Grid expansion")->getValue(), -1.5);
    EXPECT_TRUE(panel->getChange());
    EXPECT_FALSE(panel->getChange());

    click(8);
    panel->enterNumber('1');
    panel->enterMinus(); // a minus only first
    EXPECT_EQ(panel->editText, "1");
    panel->clearEdit(); // Backspace clears all
    EXPECT_EQ(panel->editText, "");
    panel->confirmEdit(); // nothing typed: unchanged
    EXPECT_EQ(panel->getEntry("Grid expansion")->getValue(), -1.5);
    EXPECT_FALSE(panel->getChange());

    // The splat size threshold, the radius factor and the point budget refuse zero and below, as text that
    // does not parse.
    for (int entry : {12, 13, 14})
        for (const char* typed : {"0", "-2"}) {
            click(entry);
            for (const char* c = typed; *c != 0; ++c)
                *c == '-' ? panel->enterMinus() : panel->enterNumber(*c);
            panel->confirmEdit();
        }
    EXPECT_EQ(panel->getEntry("Min projected size")->getValue(), 1.5);
    EXPECT_EQ(panel->getEntry("Radius modifier")->getValue(), 1.0);
    EXPECT_EQ(panel->getEntry("Point budget")->getValue(), 3000000);
    click(14);
    panel->enterDot();
    panel->enterNumber('5');
    panel->confirmEdit();
    EXPECT_EQ(panel->getEntry("Radius modifier")->getValue(), 0.5);

    // Escape cancels the typing first and quits only the second time.
    GLEventHandler h;
    h.panel = panel.get();
    click(1 + 1); // Contrast
    panel->enterNumber('7');
    SDL_Event escape{};
    escape.type = SDL_KEYDOWN;
    escape.key.keysym.sym = SDLK_ESCAPE;
    EXPECT_FALSE(h.handleEvent(escape, 0));
    EXPECT_EQ(panel->selected, nullptr);
    EXPECT_EQ(panel->getEntry("Contrast")->getValue(), 1.0);
    EXPECT_TRUE(h.handleEvent(escape, 0));
}

} // namespace
