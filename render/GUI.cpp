#include "GUI.h"

#include "Renderer.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>

TextRenderer textRenderer;

TextRenderer::TextRenderer() {
    if (TTF_Init() != 0) {
        std::printf("Unable to initialize SDL_ttf: %s \n", TTF_GetError());
        return;
    }
    ready_ = true;
}

TextRenderer::~TextRenderer() {
    if (font != nullptr)
        TTF_CloseFont(font);
    if (ready_)
        TTF_Quit();
}

bool TextRenderer::loadFont(const std::string& file) {
    fontTried_ = true;
    if (!ready_)
        return false;
    if (font != nullptr)
        TTF_CloseFont(font);
    font = TTF_OpenFont(file.c_str(), 12);
    if (font == nullptr) {
        std::printf("Unable to load font: %s %s \n", file.c_str(), TTF_GetError());
        return false;
    }
    return true;
}

SDL_Surface* TextRenderer::generateText(std::string text) {
    if (font == nullptr && !fontTried_)
        loadFont("VeraMono.ttf");
    if (font == nullptr)
        return nullptr;
    return TTF_RenderUTF8_Blended(font, text.c_str(), SDL_Color{red, green, blue, alpha});
}

std::string formatPanelDouble(double v) {
    std::ostringstream s;
    s.precision(17);
    s << std::showpoint << v; // trailing zeros kept: 1.3 shows as 1.3000000000000000
    return s.str();
}

namespace {

// Renders text into a new texture; 0 and a zero size without a font.
GLuint textTexture(const std::string& s, int& w, int& h) {
    SDL_Surface* surface = textRenderer.generateText(s);
    if (surface == nullptr) {
        w = h = 0;
        return 0;
    }
    w = surface->w;
    h = surface->h;
    const GLuint t = SDL_GL_SurfaceToTexture(surface);
    SDL_FreeSurface(surface);
    return t;
}

void replaceTexture(GLuint& texture, const std::string& s, int& w, int& h) {
    if (texture != 0)
        glDeleteTextures(1, &texture);
    texture = textTexture(s, w, h);
}

void drawTexture(GLuint texture, float x0, float top, float w, float h) {
    glBindTexture(GL_TEXTURE_2D, texture);
    glBegin(GL_QUADS);
    glTexCoord2f(0, 0);
    glVertex2f(x0, top);
    glTexCoord2f(1, 0);
    glVertex2f(x0 + w, top);
    glTexCoord2f(1, 1);
    glVertex2f(x0 + w, top - h);
    glTexCoord2f(0, 1);
    glVertex2f(x0, top - h);
    glEnd();
}

template <typename T> bool parseWhole(const std::string& s, T& out) {
    const char* end = s.data() + s.size();
    const auto r = std::from_chars(s.data(), end, out);
    return r.ec == std::errc() && r.ptr == end;
}

} // namespace

GUIEntry::~GUIEntry() {
    if (texture != 0)
        glDeleteTextures(1, &texture);
}

double GUIEntry::getValue() const {
    switch (type) {
    case Bool:
        return value.b ? 1 : 0;
    case Int:
    case Long:
    case Choice:
        return value.i;
    case Double:
        return value.d;
    default:
        return 0;
    }
}

void GUIEntry::nextChoice() {
    if (type == Choice && choiceCount > 0)
        value.i = (value.i + 1) % choiceCount;
    else if (type == Bool)
        value.b = !value.b;
}

std::string GUIEntry::text() const {
    switch (type) {
    case Bool:
        return name + " = " + (value.b ? "Enabled" : "Disabled");
    case Int:
    case Long:
        return name + " = " + std::to_string(value.i);
    case Double:
        return name + " = " + formatPanelDouble(value.d);
    case Choice:
        return name + " = " + (value.i >= 0 && value.i < choiceCount ? choices[value.i] : std::string());
    default:
        return name;
    }
}

void GUIEntry::render(const std::string& s) {
    replaceTexture(texture, s, textureWidth, textureHeight);
    textureValid = true;
}

GLuint GUIEntry::getTexture() {
    if (!textureValid)
        render(text());
    return texture;
}

void GUIEntry::resetTexture() {
    render(name + " = ");
}

GUI::GUI(int w, int h) : width(w), height(h) {
    replaceTexture(cursorTexture, "|", cursorWidth, cursorHeight);
}

GUI::~GUI() {
    if (cursorTexture != 0)
        glDeleteTextures(1, &cursorTexture);
    if (editTexture != 0)
        glDeleteTextures(1, &editTexture);
}

GUIEntry* GUI::add(std::string name, int type, bool flag) {
    auto [it, inserted] = entries.try_emplace(name, nullptr);
    if (!inserted)
        return nullptr; // an existing entry is kept
    it->second = std::make_unique<GUIEntry>();
    it->second->name = std::move(name);
    it->second->type = type;
    it->second->flag = flag;
    return it->second.get();
}

void GUI::addEntry(std::string name) {
    add(std::move(name), GUIEntry::Label, false);
}

void GUI::addEntry(std::string name, bool value, bool flag) {
    if (GUIEntry* e = add(std::move(name), GUIEntry::Bool, flag))
        e->value.b = value;
}

void GUI::addEntry(std::string name, int value, bool flag) {
    if (GUIEntry* e = add(std::move(name), GUIEntry::Int, flag))
        e->value.i = value;
}

void GUI::addEntry(std::string name, long value, bool flag) {
    if (GUIEntry* e = add(std::move(name), GUIEntry::Long, flag))
        e->value.i = int32_t(value);
}

void GUI::addEntry(std::string name, double value, bool flag) {
    if (GUIEntry* e = add(std::move(name), GUIEntry::Double, flag))
        e->value.d = value;
}

void GUI::addEntry(std::string name, const std::string* choices, int count, int current, bool flag) {
    if (GUIEntry* e = add(std::move(name), GUIEntry::Choice, flag)) {
        e->choices = choices;
        e->choiceCount = count;
        e->value.i = current;
    }
}

GUIEntry* GUI::getEntry(std::string name) {
    auto it = entries.find(name);
    return it == entries.end() ? nullptr : it->second.get();
}

void GUI::drawGUI(int, int) {
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0, width, 0, height, -5, 100);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glColor4f(1, 1, 1, 1);
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    int offset = top;
    for (auto& [name, entry] : entries) {
        const float top = float(height - offset);
        drawTexture(entry->getTexture(), 0, top, float(entry->textureWidth), float(entry->textureHeight));
        if (entry.get() == selected) {
            const float x = float(entry->textureWidth);
            drawTexture(editTexture, x, top, float(editWidth), float(editHeight));
            if ((SDL_GetTicks() / 500) % 2 == 0)
                drawTexture(cursorTexture, x + float(editWidth), top, float(cursorWidth), float(cursorHeight));
        }
        offset += entry->textureHeight;
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_BLEND);
    glDisable(GL_TEXTURE_2D);
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
}

int GUI::checkMouseClick(int x, int y) {
    const int yUp = height - y;
    int offset = top;
    for (auto& [name, entry] : entries) {
        entry->getTexture(); // sizes of entries not drawn yet
        const int top = height - offset;
        int right = entry->textureWidth;
        if (entry.get() == selected)
            right += editWidth + cursorWidth;
        offset += entry->textureHeight;
        if (!(x >= 0 && x <= right && yUp >= top - entry->textureHeight && yUp <= top))
            continue;
        selected = entry.get();
        switch (entry->type) {
        case GUIEntry::Choice:
        case GUIEntry::Bool:
            entry->nextChoice();
            entry->textureValid = false;
            initEdit();
            break;
        case GUIEntry::Label:
            break;
        default:
            entry->resetTexture();
            initEdit();
            break;
        }
        return 1;
    }
    return 0;
}

void GUI::renderEdit() {
    replaceTexture(editTexture, editText.empty() ? " " : editText, editWidth, editHeight);
}

void GUI::initEdit() {
    editText.clear();
    renderEdit();
    editEmpty = true;
    hasDot = false;
}

void GUI::enterNumber(char digit) {
    editText += digit;
    renderEdit();
    editEmpty = false;
}

void GUI::enterDot() {
    if (hasDot)
        return;
    editText += '.';
    hasDot = true;
    renderEdit();
    editEmpty = false;
}

void GUI::enterMinus() {
    if (!editEmpty)
        return;
    editText += '-';
    renderEdit();
    editEmpty = false;
}

bool GUI::editing() const {
    return selected != nullptr &&
           (selected->type == GUIEntry::Int || selected->type == GUIEntry::Long || selected->type == GUIEntry::Double);
}

void GUI::confirmEdit() {
    if (selected == nullptr)
        return;
    switch (selected->type) {
    case GUIEntry::Int:
    case GUIEntry::Long: {
        int32_t v = 0;
        if (parseWhole(editText, v) && (!selected->positiveOnly || v > 0)) {
            selected->value.i = v;
            changed = true;
        }
        break;
    }
    case GUIEntry::Double: {
        double v = 0;
        if (parseWhole(editText, v) && std::isfinite(v) && (!selected->positiveOnly || v > 0)) {
            selected->value.d = v;
            changed = true;
        }
        break;
    }
    case GUIEntry::Choice:
        changed = true;
        break;
    default:
        break;
    }
    selected->textureValid = false;
    selected->getTexture();
    selected = nullptr;
    hasDot = false;
}

void GUI::cancelEdit() {
    if (selected != nullptr) {
        selected->textureValid = false;
        selected->getTexture();
        selected = nullptr;
    }
    hasDot = false;
}

bool GUI::getChange() {
    const bool c = changed;
    changed = false;
    return c;
}
