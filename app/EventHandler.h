#pragma once
// The viewer's input and view state: the orbiting camera, the keys held, and the values of the settings
// panel. Held keys move and zoom by elapsed milliseconds, so motion does not depend on the frame rate.
#include "GeometryTypes.h"

#include <SDL.h>

#include <cstdint>
#include <set>
#include <string>

class GUI;

// The colour modes in the panel's order: "OFF", "LAS", "Normals", "Depth", then the modes by attribute.
constexpr int colorModeNameCount = 8;
extern const std::string colorModeNames[colorModeNameCount];
struct ScreenMode {
    const char* name;
    int width, height;
};
constexpr int screenModeCount = 14;
extern const ScreenMode screenModes[screenModeCount];
extern const std::string screenModeNames[screenModeCount];

struct GLEventHandler {
    uint32_t colorMode = 1;
    // Depth-based edge shading (key e, panel "Eye-dome lighting").
    bool eyeDomeLighting = false;
    // Splats drawn at most (keys [ and ], panel "Point budget").
    long pointBudget = 3000000;
    // Frame time the detail adapts to while the camera moves, in milliseconds; 0 off (panel "Frame time target").
    double frameTimeTarget = 0;
    uint32_t screenMode = 4;
    bool lighting = true;
    bool markCurrentRequest = false;
    double minProjectedSize = 1.5;
    double radiusModifier = 1.0;
    bool drawLODGrid = false;
    bool drawAxes = false;
    bool showPanel = true;
    // Visible, fully loaded tiles drawn as simplified triangle meshes (key t, panel "Mesh mode").
    bool meshMode = false;
    float brightness = 1.3f;
    float contrast = 1.0f;
    float gridExpansion = 0.0f;
    float azimuth = 45, elevation = 45; // degrees
    double distance = 12.0;
    float centre[3] = {0, 0, 0};
    std::set<int32_t> pressedKeys;
    bool mouseDown = false;
    int32_t mouseX = -1, mouseY = -1;
    int64_t zoomKeyTime = -1, moveKeyTime = -1;
    GUI* panel = nullptr;
    bool resolutionApplied = true;
    // Set by key p: the main loop saves the last frame.
    bool screenshotRequested = false;

    // One event at time `now` (ms); true when it asks to quit.
    bool handleEvent(const SDL_Event& e, int64_t now);
    // Drains SDL's queue; true when an event asked to quit.
    bool handleEvents(int64_t now);
    // Moves and zooms by the time the held keys have been held since the last call.
    void applyHeldKeys(int64_t now);
    // Eye position: centre + (-d cos e sin a, -d cos e cos a, d sin e).
    GLVector3d eye() const;
    // Up vector perpendicular to the view direction, (sin e sin a, sin e cos a, cos e): the same image as
    // (0, 0, 1) below the pole and a defined one at it.
    GLVector3d up() const;
    // Without a data set the fixed view of key y: centre (-5, 0, 0), distance 12, from straight above. With
    // one (`setFrame`), the same direction looking at the data set's centre from where it fills the window.
    void resetView();
    // The data set's box in model space (minX maxX minY maxY minZ maxZ) and the window's aspect ratio:
    // frames the camera at the current azimuth and elevation; resetView frames it from above from now on.
    void setFrame(const double box[6], double aspect);
    // The distance from which the box, seen in the direction of the azimuth and elevation through the 45°
    // vertical field of view, fills `fill` of the window; the fixed distance 12 where that gives nearly the
    // same picture (the box still inside the window, at most a quarter smaller).
    double framingDistance(double aspect, double fill = 0.9) const;
    bool framed = false;
    double frameBox[6] = {-1, 1, -1, 1, -0.5, 0.5};
    double aspect = 4.0 / 3.0;

private:
    void keyDown(const SDL_Keysym& key, int64_t now, bool& quit);
    void keyUp(const SDL_Keysym& key);
};

extern GLEventHandler eventHandler;

// Zooming keeps the eye off the centre and the scene within reach of the depth range.
constexpr double kMinDistance = 1e-3, kMaxDistance = 1e5;
constexpr long kMinPointBudget = 10000, kMaxPointBudget = 1L << 30;

bool isZoomKey(int32_t key);
bool isMoveKey(int32_t key);
