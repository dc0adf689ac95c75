#include "TriangulationOptimizationRequest.h"

#include "LODTree.h"
#include "Triangulation.h"
#include "VertexCache.h"

#include <GL/glew.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <utility>
#include <map>
#include <random>
#include <stdexcept>

namespace {

std::string nameOf(const LODTreeNode* node) {
    const std::string suffix = node->id.generateSuffix();
    return suffix.empty() ? "node-root" : "node" + suffix;
}

double msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

// The splat's place in the surface's view plane, as integers for the triangulator: walls triangulate as
// well as roofs, which a triangulation by x and y would flatten to a line.
Splat planeSplat(const Splat& s, const TreeFrame& frame, const RenderToTextureSetup& setup) {
    const GLVector3d p = frame.normalised(s);
    const float* m = setup.modelView;
    const double ex = m[0] * p.x + m[4] * p.y + m[8] * p.z + m[12];
    const double ey = m[1] * p.x + m[5] * p.y + m[9] * p.z + m[13];
    constexpr double units = double(1 << 20); // per half texture side
    Splat out = s;
    out.x = int32_t(std::lround(ex * setup.projection[0] * units));
    out.y = int32_t(std::lround(ey * setup.projection[5] * units));
    out.z = 0;
    return out;
}

} // namespace

void releaseSurfaceMeshes(std::vector<SurfaceMesh>& meshes) {
    for (SurfaceMesh& m : meshes) {
        const GLuint buffers[2] = {m.vertexBuffer, m.indexBuffer};
        glDeleteBuffers(2, buffers);
        for (GLuint t : {m.colorTexture, m.normalTexture})
            if (t != 0)
                glDeleteTextures(1, &t);
    }
    meshes.clear();
}

size_t dropOutOfBoundsTriangles(std::vector<unsigned>& indices, unsigned bound, size_t splatCount,
                                uint32_t surfaceClass) {
    size_t kept = 0, dropped = 0;
    for (size_t t = 0; t + 2 < indices.size(); t += 3) {
        bool inside = true;
        for (size_t k = 0; k < 3; ++k)
            if (indices[t + k] >= bound) {
                std::cout << "Error: triangle index " << indices[t + k] << " out of bounds " << bound << " "
                          << splatCount << " " << surfaceClass << std::endl;
                inside = false;
            }
        if (!inside) {
            ++dropped;
            continue;
        }
        for (size_t k = 0; k < 3; ++k)
            indices[kept + k] = indices[t + k];
        kept += 3;
    }
    indices.resize(kept);
    return dropped;
}

TriangulationOptimizationRequest::TriangulationOptimizationRequest(LODTreeNode* n, const TreeFrame& frame,
                                                                   float radius, bool colours, uint64_t nowMs)
    : node(n), nodeName(nameOf(n)), numSplats(uint32_t(n->splats.size())), creationTime(nowMs),
      wantColors(colours && n->colors.size() == n->splats.size()), frame_(frame), radius_(radius),
      splats_(n->splats), colors_(wantColors ? n->colors : std::vector<Color>{}), surfaceIDs_(n->surfaceIDs) {}

void TriangulationOptimizationRequest::setup() {
    if (surfaceIDs_.size() != splats_.size()) {
        state.store(ABANDONED);
        return;
    }
    std::map<uint32_t, std::vector<uint32_t>> groups; // 0: no surface
    for (uint32_t i = 0; i < uint32_t(splats_.size()); ++i)
        if (surfaceIDs_[i] != 0)
            groups[surfaceIDs_[i]].push_back(i);
    for (auto& [id, members] : groups) {
        if (members.size() < MIN_SURFACE_SPLATS)
            continue;
        Surface s;
        s.id = id;
        s.members = std::move(members);
        s.splats.reserve(s.members.size());
        for (uint32_t i : s.members) {
            s.splats.push_back(splats_[i]);
            if (wantColors)
                s.colors.push_back(colors_[i]);
        }
        if (prepareRTT(s.splats, frame_, s.setup))
            surfaces.push_back(std::move(s));
    }
    if (surfaces.empty())
        state.store(ABANDONED);
}

bool TriangulationOptimizationRequest::generateTextures(float budgetMs) {
    const auto start = std::chrono::steady_clock::now();
    while (nextTexture_ < surfaces.size()) {
        Surface& s = surfaces[nextTexture_++];
        const std::vector<unsigned> textures =
            renderToTexture(s.splats, s.colors, s.texCoords, frame_, radius_, true, wantColors, s.setup);
        if (!textures.empty()) {
            s.textured = true;
            s.colorTexture = wantColors ? textures[0] : 0;
            s.normalTexture = textures.back();
        }
        if (msSince(start) >= budgetMs)
            break;
    }
    return nextTexture_ == surfaces.size();
}

void TriangulationOptimizationRequest::triangulateSurfaces() {
    std::minstd_rand random(uint32_t(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (Surface& s : surfaces) {
        if (!s.textured || s.splats.size() < MIN_SURFACE_SPLATS)
            continue;
        // The surface's splats first, then a few points of the rest of the node (class 0), which shape the
        // triangulation near the surface's border without becoming part of it.
        std::vector<Splat> local;
        std::vector<char> classes;
        local.reserve(s.splats.size());
        for (const Splat& sp : s.splats)
            local.push_back(planeSplat(sp, frame_, s.setup));
        classes.assign(local.size(), 1);
        for (size_t i = 0; i < splats_.size(); ++i)
            if (surfaceIDs_[i] != s.id && random() % 20 == 0) {
                local.push_back(planeSplat(splats_[i], frame_, s.setup));
                classes.push_back(0);
            }
        std::vector<unsigned> indices;
        createSurfaceTriangulation(local, classes, indices);
        // Checked and ordered while the indices are still the surface's own: the mesh's vertex buffer holds
        // the surface's splats and nothing else.
        const unsigned bound = unsigned(s.splats.size());
        droppedTriangles += dropOutOfBoundsTriangles(indices, bound, s.splats.size(), s.id);
        try {
            optimizeTriangleOrderForVertexCache(indices, bound);
        } catch (const std::out_of_range& e) {
            std::cout << "Vertex cache order of surface " << s.id << " failed: " << e.what() << std::endl;
            indices.clear();
        }
        s.indices = std::move(indices);
    }
}

void TriangulationOptimizationRequest::prepareVBOs() {
    for (Surface& s : surfaces) {
        if (s.indices.empty())
            continue;
        s.vertices.resize(s.splats.size());
        for (size_t i = 0; i < s.splats.size(); ++i) {
            const Splat& p = s.splats[i];
            s.vertices[i] = {p.x, p.y, p.z, p.nx, p.ny, p.nz, s.texCoords[2 * i], s.texCoords[2 * i + 1]};
        }
    }
}

bool TriangulationOptimizationRequest::generateVBOs() {
    for (; nextUpload_ < surfaces.size(); ++nextUpload_) {
        Surface& s = surfaces[nextUpload_];
        if (s.indices.empty() || s.vertices.empty())
            continue; // its textures go with releaseGL
        SurfaceMesh m;
        GLuint buffers[2];
        glGenBuffers(2, buffers);
        glBindBuffer(GL_ARRAY_BUFFER, buffers[0]);
        glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(s.vertices.size() * sizeof(MeshVertex)), s.vertices.data(),
                     GL_STATIC_DRAW);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, buffers[1]);
        glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(s.indices.size() * sizeof(unsigned)), s.indices.data(),
                     GL_STATIC_DRAW);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
        m.vertexBuffer = buffers[0];
        m.indexBuffer = buffers[1];
        m.indexCount = int32_t(s.indices.size());
        m.colorTexture = std::exchange(s.colorTexture, 0);
        m.normalTexture = std::exchange(s.normalTexture, 0);
        m.surfaceID = s.id;
        meshes.push_back(m);
    }
    return true;
}

void TriangulationOptimizationRequest::releaseGL() {
    for (Surface& s : surfaces)
        for (unsigned* t : {&s.colorTexture, &s.normalTexture})
            if (*t != 0) {
                glDeleteTextures(1, t);
                *t = 0;
            }
    releaseSurfaceMeshes(meshes);
}
