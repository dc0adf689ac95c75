#pragma once
// The deferred splat renderer: shader programs built from ./Shaders/, the off-screen frame buffer with its
// depth, normal and colour textures, and the three passes of a frame. Visibility draws every splat into
// depth only, pushed back a little so that splats of one surface overlap; the attribute pass adds the
// weighted normals (and colours) of all splats that pass that depth; the shading pass divides by the
// accumulated weight and applies colour mode, lighting, brightness and contrast. Main thread only.
#include <GL/glew.h>
#include <SDL.h>

#include <functional>
#include <string>

class RenderSelectionThread;

// Point programs, in the order of pbrShaderPrograms.
extern GLuint visibilityPass, attributePass, attributePassColor, shadingPass, shadingPassColor,
    shadingPassLight, shadingPassColorLight, normalizingPass, normalizingPassColor;
// Triangle programs, in the order of triShaderPrograms.
extern GLuint visibilityPassTri, attributePassTri, attributePassTriColor;
constexpr int shaderNum = 9;
constexpr int triShaderNum = 3;
extern GLuint* const pbrShaderPrograms[shaderNum];
extern GLuint* const triShaderPrograms[triShaderNum];

// Texture units of the shading programs.
constexpr int DEPTH_TEXTURE = 0;
constexpr int NORMAL_TEXTURE = 1;
constexpr int COLOR_TEXTURE = 2;

// Off-screen frame buffer and its textures; (GLuint)-1 until created.
extern GLuint frameBufferMain, depthTextureMain, normalTextureMain, colorTextureMain;
extern double sizeFactor;
// Model units per raw X unit (splat radii are in raw X units), set when connecting.
extern double globalModelScale;

// Colour modes after the four of the panel's original cycle ("OFF", "LAS", "Normals", "Depth"): colours
// from the points' attributes. Each keeps lighting, brightness and contrast as "LAS" does.
constexpr int COLOR_ELEVATION = 4, COLOR_INTENSITY = 5, COLOR_CLASSIFICATION = 6, COLOR_RETURN = 7;
constexpr int colorModeCount = 8;
// What the vertex stage colours a point by ("colorSource" of attributeColors.vp).
enum class ColorSource : int { Data = 0, Elevation = 1, Intensity = 2, Classification = 3, Return = 4 };
// The values at the two ends of the elevation ramp (raw Z units) and the intensity stretch: the main
// thread sets them from the data received so far.
struct AttributeRanges {
    double height[2] = {0, 1};
    double intensity[2] = {0, 65535};
};
extern AttributeRanges attributeRanges;
// Depth-based edge shading in the shading pass.
extern bool eyeDomeLighting;

struct RenderSettings {
    double radius = 1.0;
    // "radius" in attributePass, attributePassColor, shadingPass, shadingPassColor, shadingPassLight,
    // shadingPassColorLight, visibilityPass.
    GLint radiusLoc[7] = {-1, -1, -1, -1, -1, -1, -1};
    double spare[2] = {1.0, 10.0};
    // In shadingPass, shadingPassLight, shadingPassColor, shadingPassColorLight, normalizingPassColor.
    GLint brightnessLoc[5] = {-1, -1, -1, -1, -1};
    GLint contrastLoc[5] = {-1, -1, -1, -1, -1};
    int startLevel = 3;

    // Looks up `name` in `program` into locationOut and sets it, with the messages of initUniformInt.
    void initUniformDouble(GLuint& program, double value, const std::string& name, GLint& locationOut);
    // The renderer's uniforms after connecting; no program in use afterwards.
    void init();
    // Sets the radius in all seven programs, each while it is in use.
    void loadRadius(double r);
    // Sets brightness and contrast in the five programs, each while it is in use.
    void loadBrightnessContrast(float brightness, float contrast);
};
extern RenderSettings renderSettings;

// Prints message, " (error ", code, ": ", GLU text, ")" for every pending GL error; true when there was one.
bool checkGLError(const char* message);

// The whole file as a heap text (free with free()), or null with a message on standard error.
char* loadShaderFromFile(const char* path);
GLuint generateShader(const char* source, GLenum type, std::string prefix);
void initShaders(bool intCoords);
void linkAndUseShader(GLuint program);
void initUniformInt(GLuint& program, int value, const char* name);
// Sets a uniform of every point and triangle program (each while in use): "scaling" (model units per raw
// unit on each axis) and "offsets".
void initModelUniforms(const double scale[3], const int offsets[3]);
// The same scale on all three axes (a local tree's space).
void initModelUniforms(double scale, const int offsets[3]);

void initTexturesAndBuffers(int w, int h);
void resizeTexturesAndBuffers(int w, int h);
// Status of the off-screen frame buffer (GL_FRAMEBUFFER_COMPLETE when usable).
GLenum frameBufferStatus();

// "camPos" of the ten programs that use it; the last one stays in use.
void setCameraPosition(float x, float y, float z);
void uploadModelView();
void uploadInverse();

void initVisibilityPass();
void initAttributePass(bool pointSprites, bool blend);
void initShadingPass();
void drawFullscreenTexture();
// An RGBA texture of the surface's pixels, linear filtering; the caller frees the surface.
GLuint SDL_GL_SurfaceToTexture(SDL_Surface* s);

// The three passes of one frame with the geometry drawn by `geometry`, called once for the visibility
// pass (depth only) and once for the attribute pass with the pass's state set and the position and normal
// arrays (and the colour array when `colors`) enabled; it picks its programs and returns the splats drawn.
enum RenderPass : int { PASS_VISIBILITY = 0, PASS_ATTRIBUTE = 1 };
using PassGeometry = std::function<int(int pass, bool colors)>;
int drawPasses(int width, int height, int colorMode, bool lighting, float brightness, float contrast,
               bool hasColor, const PassGeometry& geometry);
// Puts the point program of the pass in use with the splat diameter (model units) in every point program.
void useSplatProgram(int pass, bool colors, int height, double diameter);

// The three passes of one frame over levels 0 .. levels-1, and over the mesh tiles in mesh mode (the
// triangle programs); returns the splats drawn by the attribute pass.
int drawSplatPasses(RenderSelectionThread* selection, int width, int height, int colorMode, bool lighting,
                    float brightness, float contrast, double radiusModifier, float gridExpansion, int levels,
                    bool hasColor);
