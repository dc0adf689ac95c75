#include "TreeView.h"

#include "Renderer.h"
#include "VertexAttributes.h"

#include <GL/glew.h>

#include <filesystem>
#include <iostream>

TreeView::TreeView(const std::string& directory) {
    // The retriever finds a data set as basePath + name + "/".
    std::filesystem::path dir = std::filesystem::absolute(directory).lexically_normal();
    if (!dir.has_filename())
        dir = dir.parent_path();
    tree = loadTreeStructure(dir.string() + "/", header, bounds);
    selection = std::make_unique<TreeSelection>(*tree, header, bounds);
    basePath = dir.parent_path().string() + "/";
    retriever = std::make_unique<TreeNodeRetrieverThread>(dir.filename().string(), &header, MAX_TREE_LEVEL + 1);
    selection->requester = [this](LODTreeRequest* r, bool primary) { retriever->addRequest(r, primary); };
    selection->releaser = [this](LODTreeNode* n) { release(*n); };
    retriever->Start();
}

TreeView::~TreeView() {
    retriever.reset(); // joined: nothing fills a node any more
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
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(n.splats.size() * sizeof(Splat)), n.splats.data(), GL_STATIC_DRAW);
    if (!n.colors.empty() && n.colors.size() == n.splats.size()) {
        glGenBuffers(1, &n.colorBuffer);
        glBindBuffer(GL_ARRAY_BUFFER, n.colorBuffer);
        glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(n.colors.size() * sizeof(Color)), n.colors.data(), GL_STATIC_DRAW);
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

int TreeView::draw(int pass, bool colors, int height, double radiusModifier) {
    int drawn = 0;
    for (LODTreeNode* n : frame_.draw) {
        if (n->vertexBuffer == 0 || n->uploadedSplats == 0)
            continue;
        // Each node with its own radius: see TreeSelection for how ancestors follow their descendants.
        useSplatProgram(pass, colors, height, n->drawRadius * radiusModifier * selection->space().scale * 2);
        // Hook for the optimisation pipeline: a node whose surfaces are meshed draws its meshes here through
        // the triangle programs (visibilityPassTri, attributePassTri[Color]) and only the splats of no
        // meshed surface below.
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
        glDrawArrays(GL_POINTS, 0, GLsizei(n->uploadedSplats));
        if (colors && !ownColors)
            glEnableVertexAttribArray(colorAtt);
        drawn += int(n->uploadedSplats);
    }
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    return drawn;
}
