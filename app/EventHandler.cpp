#include "EventHandler.h"

#include "GUI.h"

#include <algorithm>
#include <cmath>
#include <iostream>

const std::string colorModeNames[colorModeNameCount] = {"OFF",       "LAS",       "Normals",        "Depth",
                                                        "Elevation", "Intensity", "Classification", "Return"};
const ScreenMode screenModes[screenModeCount] = {
    {"400x300", 400, 300},   {"640x480", 640, 480},   {"800x480", 800, 480},   {"800x600", 800, 600},
    {"1024x768", 1024, 768}, {"1280x720", 1280, 720}, {"1280x768", 1280, 768}, {"1280x1024", 1280, 1024},
    {"1366x768", 1366, 768}, {"1440x900", 1440, 900}, {"1600x900", 1600, 900}, {"1600x1200", 1600, 1200},
    {"1680x1050", 1680, 1050}, {"1920x1080", 1920, 1080}};
const std::string screenModeNames[screenModeCount] = {
    "400x300",  "640x480",  "800x480",  "800x600",  "1024x768", "1280x720",  "1280x768",
    "1280x1024", "1366x768", "1440x900", "1600x900", "1600x1200", "1680x1050", "1920x1080"};

GLEventHandler eventHandler;

namespace {

constexpr double kWheelStep = 0.9047921471137089;

} // namespace

bool isZoomKey(int32_t key) {
    return key == SDLK_q || key == SDLK_a || key == SDLK_KP_PLUS || key == SDLK_KP_MINUS;
}

bool isMoveKey(int32_t key) {
    switch (key) {
    case SDLK_l:
    case SDLK_j:
    case SDLK_i:
    case SDLK_k:
    case SDLK_o:
    case SDLK_u:
    case SDLK_KP_6:
    case SDLK_KP_4:
    case SDLK_KP_8:
    case SDLK_KP_2:
    case SDLK_KP_9:
    case SDLK_KP_3:
        return true;
    default:
        return false;
    }
}

GLVector3d GLEventHandler::eye() const {
    const double a = double(azimuth) * (M_PI / 180.0), e = double(elevation) * (M_PI / 180.0);
    return GLVector3d{centre[0] - distance * std::cos(e) * std::sin(a), centre[1] - distance * std::cos(e) * std::cos(a),
                      centre[2] + distance * std::sin(e)};
}

GLVector3d GLEventHandler::up() const {
    const double a = double(azimuth) * (M_PI / 180.0), e = double(elevation) * (M_PI / 180.0);
    return GLVector3d{std::sin(e) * std::sin(a), std::sin(e) * std::cos(a), std::cos(e)};
}

void GLEventHandler::resetView() {
    azimuth = -90;
    elevation = 90;
    if (framed) {
        for (int a = 0; a < 3; ++a)
            centre[a] = float((frameBox[2 * a] + frameBox[2 * a + 1]) / 2);
        distance = framingDistance(aspect);
        return;
    }
    centre[0] = -5;
    centre[1] = 0;
    centre[2] = 0;
    distance = 12;
}

void GLEventHandler::setFrame(const double box[6], double aspectRatio) {
    std::copy(box, box + 6, frameBox);
    aspect = aspectRatio;
    framed = true;
    for (int a = 0; a < 3; ++a)
        centre[a] = float((frameBox[2 * a] + frameBox[2 * a + 1]) / 2);
    distance = framingDistance(aspect);
}

double GLEventHandler::framingDistance(double aspectRatio, double fill) const {
    // Camera axes as eye() and up() define them; a corner at (r, u, f) from the centre (f away from the
    // eye) appears within the window's fraction `fill` when |r| and |u| stay below fill × tan(half the field
    // of view) × (d + f) horizontally and vertically.
    const double a = double(azimuth) * (M_PI / 180.0), e = double(elevation) * (M_PI / 180.0);
    const double fwd[3] = {std::cos(e) * std::sin(a), std::cos(e) * std::cos(a), -std::sin(e)};
    const GLVector3d u = up();
    const double upv[3] = {u.x, u.y, u.z};
    const double right[3] = {fwd[1] * upv[2] - fwd[2] * upv[1], fwd[2] * upv[0] - fwd[0] * upv[2],
                             fwd[0] * upv[1] - fwd[1] * upv[0]};
    const double tanV = std::tan(22.5 * M_PI / 180.0) * fill, tanH = tanV * std::max(aspectRatio, 1e-3);
    double d = 0;
    for (int corner = 0; corner < 8; ++corner) {
        double q[3];
        for (int k = 0; k < 3; ++k)
            q[k] = frameBox[2 * k + ((corner >> k) & 1)] - (frameBox[2 * k] + frameBox[2 * k + 1]) / 2;
        const double r = q[0] * right[0] + q[1] * right[1] + q[2] * right[2];
        const double v = q[0] * upv[0] + q[1] * upv[1] + q[2] * upv[2];
        const double f = q[0] * fwd[0] + q[1] * fwd[1] + q[2] * fwd[2];
        d = std::max({d, std::abs(r) / tanH - f, std::abs(v) / tanV - f, 0.2 - f});
    }
    if (!(d > 0) || !std::isfinite(d))
        return 12;
    if (d > 12 / 1.25 && d <= 12)
        return 12;
    return std::clamp(d, kMinDistance, kMaxDistance);
}

void GLEventHandler::keyDown(const SDL_Keysym& key, int64_t now, bool& quit) {
    const int32_t sym = key.sym;
    if (sym == SDLK_ESCAPE) {
        if (panel != nullptr && panel->selected != nullptr) {
            panel->cancelEdit();
            return; // not held: the edit is closed instead
        }
        quit = true;
        return;
    }
    switch (sym) {
    case SDLK_KP_5:
        centre[0] = centre[1] = centre[2] = 0;
        break;
    case SDLK_y:
        resetView();
        break;
    case SDLK_c:
        drawAxes = !drawAxes;
        break;
    case SDLK_g:
        showPanel = !showPanel;
        break;
    case SDLK_p:
        screenshotRequested = true;
        break;
    case SDLK_m: {
        GUIEntry* entry = panel != nullptr ? panel->getEntry("Color mode") : nullptr;
        if (entry != nullptr) {
            entry->nextChoice();
            entry->textureValid = false;
            colorMode = uint32_t(entry->getValue());
        } else {
            colorMode = (colorMode + 1) % colorModeNameCount;
        }
        std::cout << "Changed to " << colorModeNames[colorMode % colorModeNameCount] << " color mode." << std::endl;
        break;
    }
    case SDLK_e:
        eyeDomeLighting = !eyeDomeLighting;
        if (GUIEntry* entry = panel != nullptr ? panel->getEntry("Eye-dome lighting") : nullptr) {
            entry->changeValue(eyeDomeLighting);
            entry->textureValid = false;
        }
        std::cout << "Eye-dome lighting " << (eyeDomeLighting ? "on." : "off.") << std::endl;
        break;
    case SDLK_LEFTBRACKET:
    case SDLK_RIGHTBRACKET:
        // Halving and doubling reach any budget from a million splats to a billion in a few presses.
        pointBudget = sym == SDLK_RIGHTBRACKET ? std::min(pointBudget * 2, kMaxPointBudget)
                                               : std::max(pointBudget / 2, kMinPointBudget);
        if (GUIEntry* entry = panel != nullptr ? panel->getEntry("Point budget") : nullptr) {
            entry->changeValue(int(pointBudget));
            entry->textureValid = false;
        }
        std::cout << "Point budget " << pointBudget << " splats." << std::endl;
        break;
    case SDLK_t: {
        meshMode = !meshMode;
        if (GUIEntry* entry = panel != nullptr ? panel->getEntry("Mesh mode") : nullptr) {
            entry->changeValue(meshMode);
            entry->textureValid = false;
        }
        break;
    }
    case SDLK_s:
        // Local trees only: the panel holds the switch, read back every frame.
        if (GUIEntry* entry = panel != nullptr ? panel->getEntry("Optimize surfaces") : nullptr) {
            entry->changeValue(entry->getValue() == 0);
            entry->textureValid = false;
            std::cout << "Optimize surfaces " << (entry->getValue() != 0 ? "on." : "off.") << std::endl;
        }
        break;
    case SDLK_PERIOD:
        if (panel != nullptr)
            panel->enterDot();
        break;
    case SDLK_MINUS:
    case SDLK_SLASH:
        if (panel != nullptr)
            panel->enterMinus();
        break;
    case SDLK_BACKSPACE:
        if (panel != nullptr)
            panel->clearEdit();
        break;
    case SDLK_RETURN:
    case SDLK_KP_ENTER:
        if (panel != nullptr)
            panel->confirmEdit();
        break;
    default:
        if (sym >= SDLK_0 && sym <= SDLK_9 && panel != nullptr)
            panel->enterNumber(char(sym));
        break;
    }
    if (isZoomKey(sym) && zoomKeyTime == -1)
        zoomKeyTime = now;
    if (isMoveKey(sym) && moveKeyTime == -1)
        moveKeyTime = now;
    pressedKeys.insert(sym);
}

void GLEventHandler::keyUp(const SDL_Keysym& key) {
    const int32_t sym = key.sym;
    pressedKeys.erase(sym);
    // A group stops only when none of its keys is held any more: releasing one move key while another is
    // held keeps the motion going.
    bool zoomHeld = false, moveHeld = false;
    for (int32_t k : pressedKeys) {
        zoomHeld = zoomHeld || isZoomKey(k);
        moveHeld = moveHeld || isMoveKey(k);
    }
    if (!zoomHeld)
        zoomKeyTime = -1;
    if (!moveHeld)
        moveKeyTime = -1;
}

bool GLEventHandler::handleEvent(const SDL_Event& e, int64_t now) {
    bool quit = false;
    switch (e.type) {
    case SDL_KEYDOWN:
        if (e.key.repeat == 0)
            keyDown(e.key.keysym, now, quit);
        break;
    case SDL_KEYUP:
        keyUp(e.key.keysym);
        break;
    case SDL_MOUSEWHEEL:
        if (e.wheel.y > 0)
            distance = std::max(distance * kWheelStep, kMinDistance);
        else if (e.wheel.y < 0)
            distance = std::min(distance / kWheelStep, kMaxDistance);
        break;
    case SDL_MOUSEBUTTONDOWN:
        mouseDown = true;
        mouseX = e.button.x;
        mouseY = e.button.y;
        if (panel != nullptr && showPanel) // a hidden panel does not take clicks
            panel->checkMouseClick(e.button.x, e.button.y);
        break;
    case SDL_MOUSEBUTTONUP:
        mouseDown = false;
        break;
    case SDL_MOUSEMOTION:
        if (mouseDown) {
            azimuth += float(e.motion.xrel);
            elevation += float(e.motion.yrel);
        }
        break;
    case SDL_QUIT:
        quit = true;
        break;
    default:
        break;
    }
    return quit;
}

bool GLEventHandler::handleEvents(int64_t now) {
    bool quit = false;
    SDL_Event e;
    while (SDL_PollEvent(&e))
        quit = handleEvent(e, now) || quit;
    return quit;
}

void GLEventHandler::applyHeldKeys(int64_t now) {
    for (int32_t key : pressedKeys) {
        if (isZoomKey(key) && zoomKeyTime != -1) {
            const double factor = std::pow(0.999, double(now - zoomKeyTime));
            if (key == SDLK_q || key == SDLK_KP_PLUS)
                distance = std::max(distance * factor, kMinDistance);
            else
                distance = std::min(distance / factor, kMaxDistance);
        } else if (isMoveKey(key) && moveKeyTime != -1) {
            const float step = float(double(now - moveKeyTime) * distance * 0.001);
            switch (key) {
            case SDLK_l:
            case SDLK_KP_6:
                centre[0] += step;
                break;
            case SDLK_j:
            case SDLK_KP_4:
                centre[0] -= step;
                break;
            case SDLK_i:
            case SDLK_KP_8:
                centre[1] += step;
                break;
            case SDLK_k:
            case SDLK_KP_2:
                centre[1] -= step;
                break;
            case SDLK_o:
            case SDLK_KP_9:
                centre[2] += step;
                break;
            default:
                centre[2] -= step;
                break;
            }
        }
    }
    if (zoomKeyTime != -1)
        zoomKeyTime = now;
    if (moveKeyTime != -1)
        moveKeyTime = now;
}
