#include "TreeView.h"

#include "RenderToTexture.h"
#include "Renderer.h"
#include "VertexAttributes.h"

#include <GL/glew.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <unordered_set>

TreeView::TreeView(const std::string& directory) {
    // The retriever finds a data set as basePath + name + "/".
    std::filesystem::path dir = std::filesystem::absolute(directory).lexically_normal();
    if (!dir.has_filename())
        dir = dir.parent_path();
    tree = loadTreeStructure(dir.string() + "/", header, bounds);
    selection = std::make_unique<TreeSelection>(*tree, header, bounds);
    basePath = dir.parent_path().string() + "/";
    retriever =
        std::make_unique<TreeNodeRetrieverThread>(dir.filename().string(), &header, MAX_TREE_LEVEL + 1);
    selection->requester = [this](LODTreeRequest* r, bool primary) { retriever->addRequest(r, primary); };
    selection->releaser = [this](LODTreeNode* n) { release(*n); };
    retriever->Start();
    if (initializeRTTtextures("./Shaders/")) {
        pipeline = std::make_unique<OptimizationPipeline>();
        pipeline->start();
        selection->isOptimized = [this](const LODTreeNode& n) {
            if (pipeline->meshesOf(&n) != nullptr)
                return true;
            const auto it = tried_.find(&n);
            return it != tried_.end() && selection->frame() - it->second < RetryFrames;
        };
    } else {
        std::cout << "Surface optimisation is not available: render-to-texture could not be set up."
                  << std::endl;
    }
}

TreeView::~TreeView() {
    retriever.reset(); // joined: nothing fills a node any more
    // Requests still in a worker are finished off and every mesh released while the nodes exist.
    pipeline.reset();
    releaseRTTtextures();
    std::vector<LODTreeNode*> todo{tree->root.get()};
    while (!todo.empty()) {
        LODTreeNode* n = todo.back();
        todo.pop_back();
        release(*n);
        for (auto& c : n->children)
            if (c)
                todo.push_back(c.get());
    }
}

void TreeView::release(LODTreeNode& n) {
    if (retriever)
        retriever->forgetNode(&n);
    if (pipeline)
        pipeline->cancel(&n); // its requests end without touching it, its meshes go
    tried_.erase(&n);
    if (const auto it = remaining_.find(&n); it != remaining_.end()) {
        glDeleteBuffers(1, &it->second.buffer);
        remaining_.erase(it);
    }
    const GLuint names[2] = {n.vertexBuffer, n.colorBuffer};
    for (GLuint b : names)
        if (b != 0)
            glDeleteBuffers(1, &b);
    n.vertexBuffer = n.colorBuffer = 0;
    n.uploadedSplats = 0;
}

void TreeView::upload(LODTreeNode& n) {
    release(n); // a node loaded again after eviction gets fresh buffers
    glGenBuffers(1, &n.vertexBuffer);
    glBindBuffer(GL_ARRAY_BUFFER, n.vertexBuffer);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(n.splats.size() * sizeof(Splat)), n.splats.data(),
                 GL_STATIC_DRAW);
    if (!n.colors.empty() && n.colors.size() == n.splats.size()) {
        glGenBuffers(1, &n.colorBuffer);
        glBindBuffer(GL_ARRAY_BUFFER, n.colorBuffer);
        glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(n.colors.size() * sizeof(Color)), n.colors.data(),
                     GL_STATIC_DRAW);
    }
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    n.uploadedSplats = uint32_t(n.splats.size());
    n.needsUpload.store(false);
    n.compareAndSetStatus(NODE_IN_RAM, NODE_IN_VRAM);
}

void TreeView::update(const TreeCamera& camera, double minProjectedSize) {
    frame_ = selection->update(camera, minProjectedSize);
    int done = 0;
    for (LODTreeNode* n : frame_.upload)
        if (done++ < UploadsPerFrame)
            upload(*n);
}

TreeFrame TreeView::treeFrame() const {
    // The same integer offsets and scale as the splat programs' "offsets" and "scaling" uniforms.
    const TreeModelSpace& space = selection->space();
    TreeFrame f;
    for (int a = 0; a < 3; ++a) {
        f.offsets[a] = int32_t(space.offset[a]);
        f.scale[a] = space.scale;
    }
    return f;
}

void TreeView::optimize(float budgetMs, bool enabled, bool done[2]) {
    done[0] = done[1] = false;
    optimizing_ = enabled && pipeline != nullptr;
    if (pipeline == nullptr)
        return;
    if (enabled) {
        if (LODTreeNode* n = selection->findBestForOptimization();
            n != nullptr && TreeSelection::markPendingOptimization(*n)) {
            tried_[n] = selection->frame();
            // The node's own splat diameter in normalised units (its draw radius may follow finer
            // descendants), enlarged: the radius that covers the node on average leaves gaps between randomly
            // spaced splats, and a texel no splat reaches is black on the mesh.
            const double radius = std::max(n->drawRadius, n->defaultSplatRadius) * TextureSplatScale;
            const float diameter = float(radius * selection->space().scale * 2.0);
            // submit owns the request: a busy setup worker deletes it and clears the mark at once.
            pipeline->submit(new TriangulationOptimizationRequest(n, treeFrame(), diameter, header.hasColor(),
                                                                  pipeline->clock()));
        }
    }
    // Requests already under way finish even when switched off: their meshes are kept.
    pipeline->frame(budgetMs, done);
}

const TreeView::Remaining& TreeView::remaining(const LODTreeNode& n, const std::vector<SurfaceMesh>& meshes) {
    Remaining& r = remaining_[&n];
    const unsigned int first = meshes.empty() ? 0 : meshes.front().vertexBuffer;
    if (r.buffer != 0 && r.firstMesh == first && r.meshes == meshes.size())
        return r;
    std::unordered_set<uint32_t> replaced;
    for (const SurfaceMesh& m : meshes)
        replaced.insert(m.surfaceID);
    std::vector<uint32_t> keep;
    keep.reserve(n.uploadedSplats);
    const bool ids = n.surfaceIDs.size() >= n.uploadedSplats;
    for (uint32_t i = 0; i < n.uploadedSplats; ++i)
        // Surface 0 is "no surface": never meshed, always splats.
        if (!ids || n.surfaceIDs[i] == 0 || replaced.count(n.surfaceIDs[i]) == 0)
            keep.push_back(i);
    if (r.buffer == 0)
        glGenBuffers(1, &r.buffer);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, r.buffer);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(keep.size() * sizeof(uint32_t)), keep.data(),
                 GL_STATIC_DRAW);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    r.count = int(keep.size());
    r.firstMesh = first;
    r.meshes = meshes.size();
    return r;
}

void TreeView::drawMeshes(int pass, bool colors, const std::vector<SurfaceMesh>& meshes) {
    const bool visibility = pass == PASS_VISIBILITY;
    // The meshes' fragments lie exactly on the depth of the visibility pass and weigh 1 each.
    const GLuint program = visibility ? visibilityPassTri : colors ? attributePassTriColor : attributePassTri;
    glUseProgram(program);
    const GLint normalFromTexture = glGetUniformLocation(program, "normalFromTexture");
    const GLint colorFromTexture = glGetUniformLocation(program, "colorFromTexture");
    if (!visibility) {
        glEnableVertexAttribArray(texAtt);
        if (colors) {
            glDisableVertexAttribArray(colorAtt); // the vertices carry no colour
            glVertexAttrib3f(colorAtt, 0.6f, 0.6f, 0.6f);
        }
    }
    for (const SurfaceMesh& m : meshes) {
        if (m.indexCount < 3)
            continue;
        glBindBuffer(GL_ARRAY_BUFFER, m.vertexBuffer);
        glVertexAttribIPointer(positionAtt, 3, GL_INT, sizeof(MeshVertex), nullptr);
        glVertexAttribPointer(normalAtt, 3, GL_FLOAT, GL_FALSE, sizeof(MeshVertex),
                              reinterpret_cast<void*>(12));
        if (!visibility) {
            glVertexAttribPointer(texAtt, 2, GL_FLOAT, GL_FALSE, sizeof(MeshVertex),
                                  reinterpret_cast<void*>(24));
            glActiveTexture(GL_TEXTURE0 + NORMAL_TEXTURE);
            glBindTexture(GL_TEXTURE_2D, m.normalTexture);
            glActiveTexture(GL_TEXTURE0 + COLOR_TEXTURE);
            glBindTexture(GL_TEXTURE_2D, colors ? m.colorTexture : 0);
            glActiveTexture(GL_TEXTURE0);
            glUniform1i(normalFromTexture, m.normalTexture != 0);
            glUniform1i(colorFromTexture, colors && m.colorTexture != 0);
        }
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, m.indexBuffer);
        glDrawElements(GL_TRIANGLES, GLsizei(m.indexCount), GL_UNSIGNED_INT, nullptr);
    }
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    if (!visibility) {
        // The tile meshes share these programs and take their normals and colours from the vertices; the
        // units go back to nothing so that no texture of a mesh is left bound when the shading pass binds its
        // own.
        glUniform1i(normalFromTexture, 0);
        glUniform1i(colorFromTexture, 0);
        for (int unit : {NORMAL_TEXTURE, COLOR_TEXTURE}) {
            glActiveTexture(GL_TEXTURE0 + unit);
            glBindTexture(GL_TEXTURE_2D, 0);
        }
        glActiveTexture(GL_TEXTURE0);
        glDisableVertexAttribArray(texAtt);
        if (colors)
            glEnableVertexAttribArray(colorAtt);
    }
}

int TreeView::draw(int pass, bool colors, int height, double radiusModifier) {
    int drawn = 0;
    for (LODTreeNode* n : frame_.draw) {
        if (n->vertexBuffer == 0 || n->uploadedSplats == 0)
            continue;
        const std::vector<SurfaceMesh>* meshes =
            optimizing_ && pipeline != nullptr ? pipeline->meshesOf(n) : nullptr;
        const Remaining* rest = nullptr;
        if (meshes != nullptr && !meshes->empty()) {
            drawMeshes(pass, colors, *meshes);
            rest = &remaining(*n, *meshes);
        }
        // Each node with its own radius: see TreeSelection for how ancestors follow their descendants.
        useSplatProgram(pass, colors, height, n->drawRadius * radiusModifier * selection->space().scale * 2);
        glBindBuffer(GL_ARRAY_BUFFER, n->vertexBuffer);
        glVertexAttribIPointer(positionAtt, 3, GL_INT, sizeof(Splat), nullptr);
        glVertexAttribPointer(normalAtt, 3, GL_FLOAT, GL_FALSE, sizeof(Splat), reinterpret_cast<void*>(12));
        const bool ownColors = colors && n->colorBuffer != 0;
        if (ownColors) {
            glBindBuffer(GL_ARRAY_BUFFER, n->colorBuffer);
            glVertexAttribPointer(colorAtt, 3, GL_UNSIGNED_SHORT, GL_TRUE, sizeof(Color), nullptr);
        } else if (colors) {
            // An enabled colour array would read another node's buffer past its end.
            glDisableVertexAttribArray(colorAtt);
            glVertexAttrib3f(colorAtt, 0.6f, 0.6f, 0.6f);
        }
        if (rest != nullptr) {
            glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, rest->buffer);
            glDrawElements(GL_POINTS, GLsizei(rest->count), GL_UNSIGNED_INT, nullptr);
            glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
            drawn += rest->count;
        } else {
            glDrawArrays(GL_POINTS, 0, GLsizei(n->uploadedSplats));
            drawn += int(n->uploadedSplats);
        }
        if (colors && !ownColors)
            glEnableVertexAttribArray(colorAtt);
    }
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    return drawn;
}
