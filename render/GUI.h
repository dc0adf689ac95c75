#pragma once
// A minimal immediate-mode panel of named entries drawn as white text in the top-left corner: labels,
// on/off switches, numbers and choices. A click toggles, advances or selects an entry, or opens a number
// for typing; each entry's text is rendered once into a texture and again only when it changes.
#include <GL/glew.h>
#include <SDL.h>
#include <SDL_ttf.h>

#include <map>
#include <memory>
#include <string>

class TextRenderer {
public:
    TextRenderer();
    ~TextRenderer();
    TextRenderer(const TextRenderer&) = delete;
    TextRenderer& operator=(const TextRenderer&) = delete;

    // Loads the font (size 12) from a file in the working directory; false, with a message, on failure.
    bool loadFont(const std::string& file);
    // A new surface with the text rendered anti-aliased in the colour, or null without a font. The first
    // call loads VeraMono.ttf unless a font was loaded: the program finds its resources only once running.
    SDL_Surface* generateText(std::string text);

    TTF_Font* font = nullptr;
    Uint8 red = 255, green = 255, blue = 255, alpha = 255;

private:
    bool ready_ = false;
    bool fontTried_ = false;
};
extern TextRenderer textRenderer;

struct GUIEntry {
    enum Type : int { Bool = 0, Int = 1, Long = 2, Double = 3, Choice = 4, Label = 5 };

    std::string name;
    int type = Label;
    union {
        bool b;
        int32_t i;
        double d;
    } value{};
    const std::string* choices = nullptr; // not owned
    int choiceCount = 0;
    bool flag = false;
    // A typed value of zero or less is refused like text that does not parse (the old value stays).
    bool positiveOnly = false;
    bool textureValid = false;
    GLuint texture = 0;
    int textureWidth = 0, textureHeight = 0;

    ~GUIEntry();
    double getValue() const;
    void changeValue(bool v) { value.b = v; }
    void changeValue(int v) { value.i = v; }
    void changeValue(long v) { value.i = int32_t(v); }
    void changeValue(double v) { value.d = v; }
    void nextChoice();
    // "name = value" (the name alone for a label).
    std::string text() const;
    GLuint getTexture();
    // Shows "name = " while a number is typed.
    void resetTexture();

private:
    void render(const std::string& s);
};

class GUI {
public:
    GUI(int width, int height);
    ~GUI();
    GUI(const GUI&) = delete;
    GUI& operator=(const GUI&) = delete;

    void addEntry(std::string name);
    void addEntry(std::string name, bool value, bool flag);
    void addEntry(std::string name, int value, bool flag);
    void addEntry(std::string name, long value, bool flag);
    void addEntry(std::string name, double value, bool flag);
    void addEntry(std::string name, const std::string* choices, int count, int current, bool flag);
    GUIEntry* getEntry(std::string name);

    void drawGUI(int, int);
    // 1 when an entry was hit (window coordinates, y downward), else 0.
    int checkMouseClick(int x, int y);

    void initEdit();
    void clearEdit() { initEdit(); }
    void enterNumber(char digit);
    void enterDot();
    void enterMinus();
    void confirmEdit();
    void cancelEdit();
    bool getChange();
    bool editing() const;

    std::map<std::string, std::unique_ptr<GUIEntry>> entries;
    int width, height;
    int top = 0; // pixels between the window's top and the first entry
    GUIEntry* selected = nullptr;
    GLuint cursorTexture = 0;
    int cursorWidth = 0, cursorHeight = 0;
    std::string editText;
    GLuint editTexture = 0;
    int editWidth = 0, editHeight = 0;
    bool hasDot = false;
    bool editEmpty = true;
    bool changed = false;

private:
    GUIEntry* add(std::string name, int type, bool flag);
    void renderEdit();
};

// The text of a double as the panel shows it: 17 significant digits, shortest of fixed or exponent form.
std::string formatPanelDouble(double v);
