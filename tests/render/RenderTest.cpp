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

// All twelve programs compile and link and none is left in use; uniforms are set while their program is
// in use: the level's radius reaches every program that reads it, and the program in use is restored.
TEST_F(GL, ProgramsLinkAndTheirUniformsReachThem) {
    StdoutCapture out;
    initShaders(true);
    renderSettings.init();
    const std::string printed = out.take();
    EXPECT_EQ(printed.find("compile error"), std::string::npos) << printed;
    std::vector<GLuint*> programs(pbrShaderPrograms, pbrShaderPrograms + shaderNum);
    programs.insert(programs.end(), triShaderPrograms, triShaderPrograms + triShaderNum);
    for (GLuint* p : programs) {
        GLint linked = 0;
        glGetProgramiv(*p, GL_LINK_STATUS, &linked);
        EXPECT_TRUE(linked) << "program " << *p;
    }
    GLint current = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(current, 0);
    glUseProgram(shadingPass);
    renderSettings.loadRadius(0.25);
    renderSettings.loadBrightnessContrast(1.5f, 0.75f);
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(GLuint(current), shadingPass);
    for (GLuint p : {visibilityPass, attributePass, attributePassColor}) {
        float r = 0;
        glGetUniformfv(p, glGetUniformLocation(p, "radius"), &r);
        EXPECT_EQ(r, 0.25f) << "program " << p;
    }
    for (GLuint p : {shadingPass, shadingPassColor, shadingPassLight, shadingPassColorLight}) {
        float bc[2] = {};
        glGetUniformfv(p, glGetUniformLocation(p, "brightness"), &bc[0]);
        glGetUniformfv(p, glGetUniformLocation(p, "contrast"), &bc[1]);
        EXPECT_EQ(std::vector<float>(bc, bc + 2), std::vector<float>({1.5f, 0.75f})) << "program " << p;
    }
    glUseProgram(0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(GL, FrameBufferStaysCompleteAcrossResizes) {
    initTexturesAndBuffers(64, 48);
    EXPECT_EQ(frameBufferStatus(), GLenum(GL_FRAMEBUFFER_COMPLETE));
    resizeTexturesAndBuffers(1920, 1080);
    EXPECT_EQ(frameBufferStatus(), GLenum(GL_FRAMEBUFFER_COMPLETE));
    for (GLuint t : {depthTextureMain, normalTextureMain, colorTextureMain}) {
        glBindTexture(GL_TEXTURE_2D, t);
        GLint w = 0, h = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
        EXPECT_EQ(std::make_pair(w, h), std::make_pair(1920, 1080));
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

// A shader without a final newline is read whole; a missing one is an error naming the file.
TEST(ShaderFiles, LoadedWhole) {
    TempDir dir;
    std::ofstream(dir.file("brace.fp"), std::ios::binary) << "void main() {}";
    char* text = loadShaderFromFile(dir.file("brace.fp").c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), "void main() {}");
    std::free(text);
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadShaderFromFile(dir.file("missing.fp").c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Can't open file '" + dir.file("missing.fp") + "' for reading\n");
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

// Entries in name order with their texts; clicks advance choices and wrap past the last; a click below the
// last entry selects nothing.
TEST_F(Panel, EntriesAndClicks) {
    std::vector<std::string> names;
    for (auto& [name, entry] : panel->entries)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Brightness", "Color mode", "Contrast", "Draw LOD grid",
                                               "Eye-dome lighting", "FPS", "Frame time target", "GPU memory",
                                               "Grid expansion", "Lighting", "Mark current request",
                                               "Mesh mode", "Min projected size", "Point budget",
                                               "Radius modifier", "Screen mode"}));
    EXPECT_EQ(text("Point budget"), "Point budget = 3000000");
    EXPECT_EQ(text("Brightness"), "Brightness = 1.3000000000000000");
    EXPECT_EQ(text("Lighting"), "Lighting = Enabled");
    EXPECT_EQ(text("Screen mode"), "Screen mode = 1024x768");
    for (auto [times, mode] :
         {std::pair{2, 6} /* 1280x768 */, {7, 13} /* 1920x1080 */, {1, 0} /* 400x300 */}) {
        for (int i = 0; i < times; ++i)
            EXPECT_EQ(click(15), 1);
        EXPECT_EQ(value("Screen mode"), mode);
    }
    click(9);
    EXPECT_EQ(value("Lighting"), 0);
    // The four of the data's own values, then the four by attribute, then round again.
    for (const char* mode :
         {"Normals", "Depth", "Elevation", "Intensity", "Classification", "Return", "OFF", "LAS"}) {
        click(1);
        EXPECT_EQ(text("Color mode"), std::string("Color mode = ") + mode);
    }
    GUIEntry* selected = panel->selected;
    EXPECT_EQ(panel->checkMouseClick(5, 16 * lineHeight + 40), 0);
    EXPECT_EQ(panel->selected, selected);
}

// Key t and a click switch mesh mode, e eye-dome lighting; [ and ] halve and double the point budget
// within its bounds; the panel shows each.
TEST_F(Panel, Keys) {
    EXPECT_EQ(text("Mesh mode"), "Mesh mode = Disabled");
    key(SDLK_t);
    EXPECT_TRUE(handler.meshMode);
    EXPECT_EQ(text("Mesh mode"), "Mesh mode = Enabled");
    key(SDLK_t);
    EXPECT_FALSE(handler.meshMode);
    EXPECT_EQ(value("Mesh mode"), 0);
    click(11);
    EXPECT_EQ(value("Mesh mode"), 1);
    key(SDLK_e);
    EXPECT_TRUE(handler.eyeDomeLighting);
    EXPECT_EQ(text("Eye-dome lighting"), "Eye-dome lighting = Enabled");
    key(SDLK_RIGHTBRACKET);
    EXPECT_EQ(handler.pointBudget, 6000000);
    EXPECT_EQ(text("Point budget"), "Point budget = 6000000");
    for (int i = 0; i < 20; ++i)
        key(SDLK_LEFTBRACKET);
    EXPECT_EQ(handler.pointBudget, kMinPointBudget);
}

// Typing: one minus only first, one dot; nothing typed leaves the value; the positive entries refuse zero
// and below; Escape cancels the typing first and quits only the second time.
TEST_F(Panel, TypingANumber) {
    ASSERT_EQ(click(8), 1); // Grid expansion
    type("-1.5.");
    EXPECT_EQ(panel->editText, "-1.5");
    panel->confirmEdit();
    EXPECT_EQ(value("Grid expansion"), -1.5);
    EXPECT_TRUE(panel->getChange());
    EXPECT_FALSE(panel->getChange());
    click(8);
    type("1-");
    EXPECT_EQ(panel->editText, "1");
    panel->clearEdit(); // Backspace clears all
    EXPECT_EQ(panel->editText, "");
    panel->confirmEdit();
    EXPECT_EQ(value("Grid expansion"), -1.5);
    EXPECT_FALSE(panel->getChange());
    for (int entry : {12, 13, 14})
        for (const char* typed : {"0", "-2"}) {
            click(entry);
            type(typed);
            panel->confirmEdit();
        }
    EXPECT_EQ(value("Min projected size"), 1.5);
    EXPECT_EQ(value("Radius modifier"), 1.0);
    EXPECT_EQ(value("Point budget"), 3000000);
    click(14);
    type(".5");
    panel->confirmEdit();
    EXPECT_EQ(value("Radius modifier"), 0.5);
    click(2); // Contrast
    type("7");
    EXPECT_FALSE(key(SDLK_ESCAPE));
    EXPECT_EQ(panel->selected, nullptr);
    EXPECT_EQ(value("Contrast"), 1.0);
    EXPECT_TRUE(key(SDLK_ESCAPE));
}

} // namespace
