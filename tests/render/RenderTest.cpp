// The renderer's programs, uniforms and frame buffer, and the settings panel, on a real GL context
// (hidden window under Xvfb). Runs in the directory of the executables, where Shaders/ and the font lie.
#include "EventHandler.h"
#include "GUI.h"
#include "Renderer.h"
#include "Viewer.h"

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
    static void TearDownTestSuite() { delete gl_; }
    void SetUp() override {
        if (!gl_->makeCurrent())
            GTEST_SKIP() << gl_->skipReason;
        driver_.emplace(); // compiling and uploading allocate inside the driver, which keeps some until exit
    }
    void TearDown() override { driver_.reset(); }
    static inline HiddenGLWindow* gl_ = nullptr;
    std::optional<DriverAllocations> driver_;
};

// All twelve programs compile and link and none is left in use; the level's radius reaches every program
// that reads it, and the program in use is restored. The frame buffer stays complete across resizes.
TEST_F(GL, ProgramsUniformsAndFrameBuffer) {
    initShaders(true);
    renderSettings.init();
    std::vector<GLuint*> programs(pbrShaderPrograms, pbrShaderPrograms + shaderNum);
    programs.insert(programs.end(), triShaderPrograms, triShaderPrograms + triShaderNum);
    GLint value = 0;
    for (GLuint* p : programs)
        EXPECT_TRUE((glGetProgramiv(*p, GL_LINK_STATUS, &value), value)) << "program " << *p;
    glGetIntegerv(GL_CURRENT_PROGRAM, &value);
    EXPECT_EQ(value, 0);
    glUseProgram(shadingPass);
    renderSettings.loadRadius(0.25);
    glGetIntegerv(GL_CURRENT_PROGRAM, &value);
    EXPECT_EQ(GLuint(value), shadingPass);
    float f = 0;
    for (GLuint p : {visibilityPass, attributePass, attributePassColor}) {
        glGetUniformfv(p, glGetUniformLocation(p, "radius"), &f);
        EXPECT_EQ(f, 0.25f) << "program " << p;
    }
    glUseProgram(0);
    initTexturesAndBuffers(64, 48);
    EXPECT_EQ(frameBufferStatus(), GLenum(GL_FRAMEBUFFER_COMPLETE));
    resizeTexturesAndBuffers(1920, 1080);
    EXPECT_EQ(frameBufferStatus(), GLenum(GL_FRAMEBUFFER_COMPLETE));
    for (GLuint t : {depthTextureMain, normalTextureMain, colorTextureMain}) {
        GLint w = 0, h = 0;
        glBindTexture(GL_TEXTURE_2D, t);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
        EXPECT_EQ(std::make_pair(w, h), std::make_pair(1920, 1080));
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// Without a font text renders to nothing: the panel still draws and hit-tests.
TEST_F(GL, PanelWithoutAFont) {
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
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// A shader without a final newline is read whole; a missing one is null.
TEST(ShaderFiles, LoadedWhole) {
    TempDir dir;
    std::ofstream(dir.file("brace.fp"), std::ios::binary) << "void main() {}";
    char* text = loadShaderFromFile(dir.file("brace.fp").c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), "void main() {}");
    std::free(text);
    EXPECT_EQ(loadShaderFromFile(dir.file("missing.fp").c_str()), nullptr);
}

// The viewer's own settings panel, with the font.
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
        handler.panel = panel.get();
    }
    int click(int n) { return panel->checkMouseClick(5, n * lineHeight + lineHeight / 2); } // n-th entry
    void type(const char* text) {
        for (const char* c = text; *c != 0; ++c)
            *c == '-' ? panel->enterMinus() : *c == '.' ? panel->enterDot() : panel->enterNumber(*c);
    }
    bool key(SDL_Keycode k) {
        SDL_Event e{};
        e.type = SDL_KEYDOWN;
        e.key.keysym.sym = k;
        return handler.handleEvent(e, 0);
    }
    std::string text(const char* name) { return panel->getEntry(name)->text(); }
    double value(const char* name) { return panel->getEntry(name)->getValue(); }

    std::unique_ptr<GUI> panel;
    GLEventHandler handler;
    int lineHeight = 0;
};

// Entries with their texts; clicks advance choices and wrap past the last; a click below the last entry
// selects nothing.
TEST_F(Panel, EntriesAndClicks) {
    EXPECT_EQ(
        text("Point budget") + text("Brightness") + text("Lighting") + text("Screen mode"),
        "Point budget = 3000000Brightness = 1.3000000000000000Lighting = EnabledScreen mode = 1024x768");
    for (auto [times, mode] :
         {std::pair{2, 6} /* 1280x768 */, {7, 13} /* 1920x1080 */, {1, 0} /* 400x300 */}) {
        for (int i = 0; i < times; ++i)
            EXPECT_EQ(click(15), 1);
        EXPECT_EQ(value("Screen mode"), mode);
    }
    // The four of the data's own values, then the four by attribute, then round again.
    for (const char* mode :
         {"Normals", "Depth", "Elevation", "Intensity", "Classification", "Return", "OFF", "LAS"})
        EXPECT_EQ((click(1), text("Color mode")), std::string("Color mode = ") + mode);
    GUIEntry* selected = panel->selected;
    EXPECT_EQ(panel->checkMouseClick(5, 16 * lineHeight + 40), 0);
    EXPECT_EQ(panel->selected, selected);
}

// Typing: one minus only first, one dot; nothing typed leaves the value; the positive entries refuse zero
// and below; Escape cancels the typing first and quits only the second time.
TEST_F(Panel, TypingANumber) {
    const auto enter = [&](int entry, const char* typed) { click(entry), type(typed), panel->confirmEdit(); };
    ASSERT_EQ(click(8), 1); // Grid expansion
    type("-1.5.");
    EXPECT_EQ(panel->editText, "-1.5");
    panel->confirmEdit();
    EXPECT_EQ(value("Grid expansion"), -1.5);
    EXPECT_TRUE(panel->getChange());
    click(8);
    type("1-");
    EXPECT_EQ(panel->editText, "1");
    panel->clearEdit(); // Backspace clears all
    EXPECT_EQ(panel->editText, "");
    panel->confirmEdit();
    EXPECT_EQ(value("Grid expansion"), -1.5);
    EXPECT_FALSE(panel->getChange());
    for (int entry : {12, 13, 14})
        for (const char* typed : {"0", "-2"})
            enter(entry, typed);
    EXPECT_EQ(std::make_tuple(value("Min projected size"), value("Radius modifier"), value("Point budget")),
              std::make_tuple(1.5, 1.0, 3000000.0));
    enter(14, ".5");
    EXPECT_EQ(value("Radius modifier"), 0.5);
    click(2); // Contrast
    type("7");
    EXPECT_FALSE(key(SDLK_ESCAPE));
    EXPECT_EQ(std::make_pair(panel->selected, value("Contrast")), std::make_pair((GUIEntry*)nullptr, 1.0));
    EXPECT_TRUE(key(SDLK_ESCAPE));
}

} // namespace
