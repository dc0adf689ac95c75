#pragma once
// Render-to-texture of one surface of a local-tree node: the view straight along the surface's average
// normal (prepareRTT, no GL) and the drawing of its splats into a colour and a normal texture whose
// transform feedback gives every splat its texture coordinate (renderToTexture, GL thread only).
#include "GeometryTypes.h"

#include <cstdint>
#include <vector>

struct RenderSettings;

// The tree's normalised coordinates of a raw splat: (raw + offsets) × scale per axis, the mapping the
// splat programs apply with their "offsets" and "scaling" uniforms. LODTree does not carry it, so the
// caller that opens the tree supplies it.
struct TreeFrame {
    int32_t offsets[3] = {0, 0, 0};
    double scale[3] = {1.0, 1.0, 1.0};

    GLVector3d normalised(const Splat& s) const {
        return {(double(s.x) + offsets[0]) * scale[0], (double(s.y) + offsets[1]) * scale[1],
                (double(s.z) + offsets[2]) * scale[2]};
    }
};

struct RenderToTextureSetup {
    int32_t width = 0;
    int32_t height = 0;
    double normal[3] = {0, 0, 1};
    double centre[3] = {0, 0, 0};
    float modelView[16] = {};  // column-major
    float projection[16] = {}; // column-major
};

// Longest texture side.
constexpr int32_t RTT_MAX_TEXTURE_SIZE = 8192;
// Factor of the splat radius when surfaces are drawn into textures.
inline float SPLAT_SIZE_FIX = 1.0f;

// Unit average normal ((0, 0, 1) when the normals cancel or are all zero) and the mean normalised position.
void calculateAverages(const std::vector<Splat>& splats, double normal[3], double centroid[3], const TreeFrame& frame);
// The view's up and right axes for the unit normal n (see the tests for the fixed cases).
void calculateUpAndRightVector(const double n[3], double up[3], double right[3]);
// About 6 texels per splat for extents er × eu (both positive), the longer side at most
// RTT_MAX_TEXTURE_SIZE and neither below 1.
void rttTextureSize(double splatCount, double er, double eu, int32_t& width, int32_t& height);
// Fills the setup for drawing `splats` seen along their average normal. Degenerate surfaces (one splat,
// collinear splats, zero normals) still get finite matrices and a size within 1..RTT_MAX_TEXTURE_SIZE.
// False, setup untouched, for an empty surface.
bool prepareRTT(const std::vector<Splat>& splats, const TreeFrame& frame, RenderToTextureSetup& setup);

// ---- GL thread only

// Creates the shared frame buffer and the programs the surfaces are drawn with (built from the splat
// shaders in `shaderDirectory`, with the splat's clip position captured by transform feedback). Idempotent;
// false when a program does not link.
bool initializeRTTtextures(const char* shaderDirectory = "./Shaders/");
// Deletes what initializeRTTtextures made (before the context goes).
void releaseRTTtextures();
// The shared frame buffer name (0 before initializeRTTtextures).
unsigned int rttFB();

// Draws the surface into new textures and returns their names, the colour texture first when wantColors,
// then the normal texture when wantNormals; texCoords gets two floats per splat. An empty result means the
// surface stays as splats (texture too large for the GL, frame buffer incomplete, read-back short); the
// reason has been printed and nothing is left allocated.
std::vector<unsigned int> renderToTexture(const std::vector<Splat>& splats, const std::vector<Color>& colors,
                                          std::vector<float>& texCoords, const TreeFrame& frame, float radius,
                                          bool wantNormals, bool wantColors, const RenderToTextureSetup& setup);
