#pragma once
// One node's optimisation: its surfaces (splats sharing a surface id) drawn into textures, triangulated in
// the surface's view plane, cache-ordered and uploaded as meshes. The stages run on the threads the
// pipeline assigns: setup, triangulateSurfaces and prepareVBOs on workers; generateTextures, generateVBOs
// and releaseGL on the thread that owns the GL context.
//
// The node's arrays are copied at creation (on the GL thread, where the node is loaded and evicted), so
// the workers never read a node that may be changing. The stages are virtual so that timing tests can
// stand in for them.
#include "GeometryTypes.h"
#include "RenderToTexture.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class LODTreeNode;

// What the viewer draws instead of the splats of one surface. Buffer and texture names belong to the GL
// context; releaseSurfaceMeshes deletes them on its thread.
struct SurfaceMesh {
    unsigned int vertexBuffer = 0; // MeshVertex records
    unsigned int indexBuffer = 0;  // unsigned 32-bit triangle indices into the vertex buffer
    int32_t indexCount = 0;
    unsigned int colorTexture = 0; // 0 when the node has no colours
    unsigned int normalTexture = 0;
    uint32_t surfaceID = 0; // the node's splats with this id are replaced
};

// Raw integer position, normal and texture coordinate: 32 bytes.
struct MeshVertex {
    int32_t x, y, z;
    float nx, ny, nz;
    float u, v;
};
static_assert(sizeof(MeshVertex) == 32);

void releaseSurfaceMeshes(std::vector<SurfaceMesh>& meshes); // GL thread

// Surfaces with fewer splats stay splats: too small to be worth a mesh and a texture.
constexpr size_t MIN_SURFACE_SPLATS = 21;

class TriangulationOptimizationRequest {
public:
    static constexpr int ABANDONED = 4;

    // `radius`: the splat diameter in the tree's normalised units; `wantColors`: the node's colours go into a
    // colour texture too.
    TriangulationOptimizationRequest(LODTreeNode* node, const TreeFrame& frame, float radius, bool wantColors,
                                     uint64_t nowMs);
    virtual ~TriangulationOptimizationRequest() = default;
    TriangulationOptimizationRequest(const TriangulationOptimizationRequest&) = delete;
    TriangulationOptimizationRequest& operator=(const TriangulationOptimizationRequest&) = delete;

    // Groups the splats by surface id and prepares each surface's render-to-texture; state becomes
    // ABANDONED when no surface is large enough.
    virtual void setup();
    // Renders surfaces until `budgetMs` has passed (at least one a call); true once all are done.
    virtual bool generateTextures(float budgetMs);
    virtual void triangulateSurfaces();
    virtual void prepareVBOs();
    // Uploads every mesh; true when done.
    virtual bool generateVBOs();
    // Deletes every GL object the request still owns (textures, buffers not handed over).
    virtual void releaseGL();

    std::atomic<int> state{0};
    // Set by the pipeline when the node is evicted or the tree closes: the request is finished off and
    // deleted without producing meshes.
    std::atomic<bool> cancelled{false};
    // Guarded by the pipeline: null once cancelled, and no stage dereferences it.
    LODTreeNode* node;
    const std::string nodeName;
    const uint32_t numSplats;
    const uint64_t creationTime; // milliseconds of the pipeline's clock
    const bool wantColors;

    // Filled by generateVBOs, taken over by the pipeline.
    std::vector<SurfaceMesh> meshes;

    // Triangles dropped for an index outside their surface (reported as they are found).
    size_t droppedTriangles = 0;

    struct Surface {
        uint32_t id = 0;
        std::vector<uint32_t> members; // node splat numbers
        std::vector<Splat> splats;
        std::vector<Color> colors;
        RenderToTextureSetup setup;
        std::vector<float> texCoords;
        unsigned int colorTexture = 0, normalTexture = 0;
        bool textured = false;
        std::vector<unsigned> indices; // surface-local
        std::vector<MeshVertex> vertices;
    };
    std::vector<Surface> surfaces;

protected:
    TreeFrame frame_;
    float radius_;
    std::vector<Splat> splats_;
    std::vector<Color> colors_;
    std::vector<uint32_t> surfaceIDs_;
    size_t nextTexture_ = 0;
    size_t nextUpload_ = 0;
};

// Checks a surface's triangles against its vertex count: a triangle with an index not below `bound` is
// reported ("Error: triangle index I out of bounds BOUND SPLATS CLASS") and dropped. Returns the number dropped.
size_t dropOutOfBoundsTriangles(std::vector<unsigned>& indices, unsigned bound, size_t splatCount, uint32_t surfaceClass);
