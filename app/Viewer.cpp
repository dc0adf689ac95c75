#include "Viewer.h"

#include "AdaptiveDetail.h"
#include "EventHandler.h"
#include "FrameRate.h"
#include "GPUMemory.h"
#include "GUI.h"
#include "LASPointData.h"
#include "LODGrid.h"
#include "PointServerAddress.h"
#include "RenderSelectionThread.h"
#include "Renderer.h"
#include "ServerRetriever.h"
#include "Simplification.h"
#include "SplatCacheThread.h"
#include "TreeView.h"
#include "ViewMath.h"

#include <GL/glew.h>
#include <GL/glu.h>
#include <SDL.h>
#include <SDL_image.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <vector>

std::string treePath = "/data/newServerModels/Ruvod Ador Iriro Duved 2/";
std::string treeFilename = "/data/newServerModels/Ruvod Ador Iriro Duved 2/Ruvod Ador Iriro Duved 2.las";
const std::string DEFAULT_DATASET = "Ruvod Ador Iriro Duved";
LASHeader retrievedHeader;
int levelNum = 0;
BBox3D bounds{};
double largestDim = 1.0;
RenderSelectionThread* lodThread = nullptr;
TreeView* treeView = nullptr;

namespace {

SDL_Window* window = nullptr;
std::filesystem::path launchDirectory = ".";
int width = 1024, height = 768;
// How often the chooser asks a point server that cannot be reached, or lists nothing, again.
constexpr Uint32 kChooserRetryMs = 3000;
// Render-to-texture of a local tree's surfaces stops after the surface that passes this much of a frame.
constexpr float kOptimizationBudgetMs = 8.0f;

void setWindowSize(int w, int h) {
    // One window and one context for the whole run: resizing keeps shaders, buffers and textures.
    SDL_SetWindowSize(window, w, h);
    GL_Setup(w, h);
}

// Lines of text below `top`, each a one-label panel (labels are drawn in name order, lines in theirs).
class Notice {
public:
    void set(const std::vector<std::string>& lines) {
        if (lines == lines_)
            return;
        lines_ = lines;
        panels_.clear();
        for (const std::string& line : lines) {
            panels_.push_back(std::make_unique<GUI>(width, height));
            panels_.back()->addEntry(line);
        }
    }
    void draw(int top) {
        for (auto& p : panels_) {
            p->width = width;
            p->height = height;
            p->top = top;
            p->drawGUI(0, 0);
            top += p->entries.begin()->second->textureHeight;
        }
    }

private:
    std::vector<std::string> lines_;
    std::vector<std::unique_ptr<GUI>> panels_;
};

// Saves the frame last drawn (the back buffer, not yet swapped) as a PNG in the working directory.
void saveScreenshot() {
    std::vector<unsigned char> pixels(size_t(width) * size_t(height) * 4);
    // A multisampled back buffer cannot be read directly: resolve it into a single-sample frame buffer.
    GLuint fbo = 0, rb = 0;
    glGenFramebuffers(1, &fbo);
    glGenRenderbuffers(1, &rb);
    glBindRenderbuffer(GL_RENDERBUFFER, rb);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, fbo);
    glFramebufferRenderbuffer(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, rb);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glReadBuffer(GL_BACK);
    glBlitFramebuffer(0, 0, width, height, 0, 0, width, height, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, fbo);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &fbo);
    glDeleteRenderbuffers(1, &rb);
    glReadBuffer(GL_BACK);

    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, width, height, 32, SDL_PIXELFORMAT_ABGR8888);
    if (s == nullptr) {
        std::cout << "Could not save screenshot: " << SDL_GetError() << std::endl;
        return;
    }
    for (int y = 0; y < height; ++y) // GL rows run bottom-up
        std::memcpy(static_cast<unsigned char*>(s->pixels) + size_t(y) * size_t(s->pitch),
                    pixels.data() + size_t(height - 1 - y) * size_t(width) * 4, size_t(width) * 4);
    // In the directory the viewer was started from, not the one of its resources.
    std::string name;
    for (int i = 0;; ++i) {
        name = (launchDirectory / ("pontaro-screenshot-" + std::to_string(i) + ".png")).string();
        if (!std::filesystem::exists(name))
            break;
    }
    if (IMG_SavePNG(s, name.c_str()) == 0)
        std::cout << "Saved screenshot " << name << std::endl;
    else
        std::cout << "Could not save screenshot " << name << ": " << IMG_GetError() << std::endl;
    SDL_FreeSurface(s);
}

// The data-set chooser. Returns the chosen name, or empty when the user quit.
std::string chooseDataset(const std::string& lastProblem) {
    ServerRetriever retriever;
    std::unique_ptr<GUI> chooser;
    Notice notice;
    std::vector<std::string> lines;
    if (!lastProblem.empty())
        lines.push_back(lastProblem);
    Uint32 lastTry = 0;
    bool tried = false;
    eventHandler.mouseDown = false;
    for (;;) {
        const Uint32 now = SDL_GetTicks();
        if (chooser == nullptr && (!tried || now - lastTry >= kChooserRetryMs)) {
            tried = true;
            lastTry = now;
            std::vector<std::string> names;
            const int rc = retriever.retrieveDatasetNames(names);
            std::string problem;
            if (rc != 0)
                problem =
                    "Cannot reach the point server at " + DEFAULT_SERVER + "; trying again every 3 seconds.";
            else if (names.empty())
                problem = "The point server lists no data sets; asking again every 3 seconds.";
            if (!problem.empty()) {
                std::cout << problem << std::endl;
                lines = {problem, "Escape quits."};
                if (!lastProblem.empty())
                    lines.insert(lines.begin(), lastProblem);
            } else {
                std::cout << "The point server lists " << names.size() << " data set(s)." << std::endl;
                chooser = std::make_unique<GUI>(width, height);
                for (const std::string& n : names)
                    chooser->addEntry(n);
                if (!lastProblem.empty())
                    lines = {lastProblem};
                else
                    lines.clear();
            }
        }
        notice.set(lines);
        SDL_Event e;
        bool queueEmpty = true;
        while (SDL_PollEvent(&e)) {
            queueEmpty = false;
            if (e.type == SDL_QUIT || (e.type == SDL_KEYDOWN && e.key.keysym.sym == SDLK_ESCAPE))
                return chooser != nullptr && chooser->selected != nullptr ? chooser->selected->name : "";
            if (e.type == SDL_MOUSEBUTTONUP)
                eventHandler.mouseDown = false;
            if (e.type == SDL_MOUSEBUTTONDOWN) {
                eventHandler.mouseDown = true;
                eventHandler.mouseX = e.button.x;
                eventHandler.mouseY = e.button.y;
                if (chooser != nullptr)
                    chooser->checkMouseClick(e.button.x, e.button.y);
            }
        }
        if (queueEmpty && chooser != nullptr && chooser->selected != nullptr)
            return chooser->selected->name;
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        int below = 0;
        if (chooser != nullptr) {
            chooser->drawGUI(0, 0);
            for (auto& [name, entry] : chooser->entries)
                below += entry->textureHeight;
        }
        notice.draw(below + (below > 0 ? 16 : 0));
        limitFPS();
        SDL_GL_SwapWindow(window);
    }
}

void drawAxes() {
    glLineWidth(3);
    glBegin(GL_LINES);
    glColor3f(0, 0, 1);
    glVertex3f(-9999, 0, 0);
    glVertex3f(9999, 0, 0);
    glColor3f(0, 1, 0);
    glVertex3f(0, -9999, 0);
    glVertex3f(0, 9999, 0);
    glColor3f(0, 1, 1);
    glVertex3f(0, 0, -9999);
    glVertex3f(0, 0, 9999);
    glEnd();
    glPointSize(5);
    glColor3f(1, 1, 1);
    glBegin(GL_POINTS);
    glVertex3f(1, 0, 0);
    glEnd();
    glPointSize(1);
    glLineWidth(1);
}

void readPanel(GUI& panel) {
    auto value = [&](const char* name) { return panel.getEntry(name)->getValue(); };
    eventHandler.brightness = float(value("Brightness"));
    eventHandler.contrast = float(value("Contrast"));
    eventHandler.colorMode = uint32_t(value("Color mode"));
    eventHandler.minProjectedSize = value("Min projected size");
    eventHandler.radiusModifier = value("Radius modifier");
    eventHandler.gridExpansion = float(value("Grid expansion"));
    eventHandler.markCurrentRequest = value("Mark current request") != 0;
    eventHandler.drawLODGrid = value("Draw LOD grid") != 0;
    eventHandler.lighting = value("Lighting") != 0;
    eventHandler.meshMode = value("Mesh mode") != 0;
    eventHandler.eyeDomeLighting = value("Eye-dome lighting") != 0;
    if (panel.getEntry("Point budget") != nullptr) {
        eventHandler.pointBudget = std::clamp(long(value("Point budget")), kMinPointBudget, kMaxPointBudget);
        eventHandler.frameTimeTarget = std::max(value("Frame time target"), 0.0);
    }
    if (treeView != nullptr)
        treeView->selection->optimizeSurfaces = value("Optimize surfaces") != 0;
    const uint32_t mode = uint32_t(value("Screen mode"));
    if (mode != eventHandler.screenMode) {
        eventHandler.screenMode = mode;
        eventHandler.resolutionApplied = false;
    }
}

// The ends of the elevation ramp and the intensity stretch: the 1st and 99th percentiles of the points
// received so far, so that a few outliers do not wash the colours out; the data set's height range until
// points arrive.
void updateAttributeRanges() {
    double z0 = 0, z1 = 0, i0 = 0, i1 = 0;
    if (lodThread->cache->attributePercentiles(1, 99, z0, z1, i0, i1)) {
        attributeRanges.height[0] = z0;
        attributeRanges.height[1] = std::max(z1, z0 + 1);
        attributeRanges.intensity[0] = i0;
        attributeRanges.intensity[1] = std::max(i1, i0 + 1);
    } else {
        attributeRanges.height[0] = lodThread->grid->rawBounds[4];
        attributeRanges.height[1] = lodThread->grid->rawBounds[5];
    }
}

// The frame loop of a connected data set, until the user quits.
void frameLoop() {
    glClearColor(0, 0, 0, 0);
    renderSettings.init();
    std::unique_ptr<GUI> panel = makeSettingsPanel(
        width, height, lodThread != nullptr ? lodThread->minProjectedSize.load() : 1.5, treeView != nullptr);
    eventHandler.panel = panel.get();
    const double* centre =
        treeView != nullptr ? treeView->selection->space().offset : lodThread->grid->centreOffset;
    const int offsets[3] = {int(centre[0]), int(centre[1]), int(centre[2])};
    if (treeView != nullptr)
        initModelUniforms(globalModelScale, offsets);
    else
        initModelUniforms(lodThread->grid->modelScale, offsets);
    glUseProgram(0);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glPointSize(5);
    glDisable(GL_POINT_SMOOTH);
    if (frameBufferMain == GLuint(-1))
        initTexturesAndBuffers(width, height);
    else
        resizeTexturesAndBuffers(width, height);

    // A button released while the chooser was open must not leave the camera turning with the mouse.
    eventHandler.mouseDown = (SDL_GetMouseState(nullptr, nullptr) & SDL_BUTTON_LMASK) != 0;
    long frame = 0;
    long splatSum = 0, framesSincePrint = 0;
    uint32_t pointsAtPrint = 0;
    int64_t lastPrint = SDL_GetTicks64();
    bool appliedLastFrame = true;
    std::unique_ptr<AdaptiveDetail> adaptive;
    int64_t lastFrameStart = SDL_GetTicks64();
    GLVector3d lastEye{NAN, NAN, NAN};
    float lastCentre[3] = {NAN, NAN, NAN};
    for (;;) {
        const int64_t now = SDL_GetTicks64();
        if (eventHandler.handleEvents(now))
            break;
        ++frame;
        if (lodThread != nullptr) {
            lodThread->cache->updateVBOs(frame);
            lodThread->updateMeshes(eventHandler.meshMode);
        }

        const GLVector3d eye = eventHandler.eye();
        const double eyeLength = std::sqrt(eye.x * eye.x + eye.y * eye.y + eye.z * eye.z);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        gluPerspective(45.0, double(width) / double(height), 0.1, eyeLength + largestDim);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        const GLVector3d up = eventHandler.up();
        gluLookAt(eye.x, eye.y, eye.z, eventHandler.centre[0], eventHandler.centre[1], eventHandler.centre[2],
                  up.x, up.y, up.z);

        setCameraPosition(float(eye.x), float(eye.y), float(eye.z));
        const bool cameraMoving = eye.x != lastEye.x || eye.y != lastEye.y || eye.z != lastEye.z ||
                                  eventHandler.centre[0] != lastCentre[0] ||
                                  eventHandler.centre[1] != lastCentre[1] ||
                                  eventHandler.centre[2] != lastCentre[2];
        if (lodThread != nullptr) {
            lodThread->setCameraPosition(eye);
            double threshold = eventHandler.minProjectedSize;
            if (eventHandler.frameTimeTarget > 0) {
                if (!adaptive || adaptive->options().targetMs != eventHandler.frameTimeTarget) {
                    AdaptiveDetail::Options options;
                    options.targetMs = eventHandler.frameTimeTarget;
                    adaptive = std::make_unique<AdaptiveDetail>(options);
                }
                threshold =
                    adaptive->update(threshold, double(now - lastFrameStart), cameraMoving, double(now));
            } else {
                adaptive.reset();
            }
            lodThread->minProjectedSize = threshold;
            lodThread->pointBudget = eventHandler.pointBudget;
            updateAttributeRanges();
        }
        lastFrameStart = now;
        eyeDomeLighting = eventHandler.eyeDomeLighting;

        glPushMatrix();
        if (appliedLastFrame || cameraMoving) {
            uploadInverse();
            uploadModelView();
            extractFrustum(projMatrix, modelViewMatrix);
        }
        if (appliedLastFrame && lodThread != nullptr)
            lodThread->dirty = true;
        if (treeView != nullptr) {
            TreeCamera camera;
            camera.eye = eye;
            loadFrustum(camera.frustum);
            camera.pixelFactor = projMatrix[5] * height / 2.0;
            camera.seconds = double(now) / 1000.0;
            treeView->update(camera, eventHandler.minProjectedSize);
            bool done[2];
            treeView->optimize(kOptimizationBudgetMs, treeView->selection->optimizeSurfaces, done);
        }
        appliedLastFrame = false;

        glDisable(GL_DEPTH_TEST);
        SDL_GL_SwapWindow(window);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

        if (treeView != nullptr)
            splatSum += drawPasses(
                width, height, int(eventHandler.colorMode), eventHandler.lighting, eventHandler.brightness,
                eventHandler.contrast, retrievedHeader.hasColor(), [&](int pass, bool colors) {
                    return treeView->draw(pass, colors, height, eventHandler.radiusModifier);
                });
        else
            splatSum +=
                drawSplatPasses(lodThread, width, height, int(eventHandler.colorMode), eventHandler.lighting,
                                eventHandler.brightness, eventHandler.contrast, eventHandler.radiusModifier,
                                eventHandler.gridExpansion, levelNum, retrievedHeader.hasColor());
        ++framesSincePrint;

        glUseProgram(0);
        glEnable(GL_DEPTH_TEST);
        glLineWidth(3);
        if (eventHandler.drawLODGrid && lodThread != nullptr)
            lodThread->renderGrid(eventHandler.gridExpansion);
        if (eventHandler.markCurrentRequest && lodThread != nullptr)
            lodThread->renderCurrentRequest(eventHandler.gridExpansion);
        glPopMatrix();
        if (eventHandler.drawAxes)
            drawAxes();
        glLineWidth(1);

        eventHandler.applyHeldKeys(SDL_GetTicks64());
        if (eventHandler.showPanel)
            panel->drawGUI(0, 0);
        readPanel(*panel);
        if (eventHandler.screenshotRequested) {
            eventHandler.screenshotRequested = false;
            saveScreenshot();
        }

        if (!eventHandler.resolutionApplied) {
            const ScreenMode& m = screenModes[eventHandler.screenMode % screenModeCount];
            width = m.width;
            height = m.height;
            setWindowSize(width, height);
            resizeTexturesAndBuffers(width, height);
            int dw = 0, dh = 0;
            SDL_GL_GetDrawableSize(window, &dw, &dh);
            std::cout << "Screen mode " << m.name << ", drawable " << dw << "x" << dh << std::endl;
            panel->width = width;
            panel->height = height;
            // Pixels per unit of size at distance 1 follow the window's height.
            GLfloat projection[16];
            glGetFloatv(GL_PROJECTION_MATRIX, projection);
            if (lodThread != nullptr)
                lodThread->pixelFactor = projection[5] * height / 2.0;
            eventHandler.aspect = double(width) / double(height);
            if (adaptive)
                adaptive->reset(); // frame times of another window size
            eventHandler.resolutionApplied = true;
            appliedLastFrame = true;
        }

        panel->getChange();
        if (trackFPS(long(SDL_GetTicks()))) {
            GUIEntry* fps = panel->getEntry("FPS");
            fps->changeValue(getFPS());
            fps->textureValid = false;
            GUIEntry* memory = panel->getEntry("GPU memory");
            memory->changeValue(getUsedGPUmem());
            memory->textureValid = false;
            double speed = 0;
            const int64_t printedAt = SDL_GetTicks64();
            if (treeView != nullptr) {
                const uint32_t points = treeView->retriever->totalPoints();
                speed = printedAt > lastPrint
                            ? (points - pointsAtPrint) * 1000.0 / double(printedAt - lastPrint)
                            : 0;
                pointsAtPrint = points;
            } else {
                speed = lodThread->cache->getAverageRetrievalSpeed();
            }
            lastPrint = printedAt;
            std::cout << "Average number of splats drawn: "
                      << (framesSincePrint > 0 ? splatSum / framesSincePrint : 0)
                      << ", retrieval speed: " << long(speed) << " splats/sec.";
            if (treeView != nullptr)
                std::cout << " Nodes loaded: " << treeView->selection->loadedNodes()
                          << ". Nodes optimized: " << treeView->optimizedNodes()
                          << ", average optimization time per splat: " << treeView->averageTimePerSplat()
                          << " ms.";
            if (eventHandler.meshMode && lodThread != nullptr)
                std::cout << " Tiles drawn as meshes: " << lodThread->meshTilesDrawn() << ".";
            if (lodThread != nullptr && lodThread->budgetLimited())
                std::cout << " The point budget of " << eventHandler.pointBudget
                          << " splats holds detail back.";
            if (adaptive && adaptive->raised())
                std::cout << " Detail lowered " << adaptive->factor() << "x for the frame time target.";
            std::cout << std::endl;
            splatSum = 0;
            framesSincePrint = 0;
        }
        limitFPS();
        if (GLenum e = glGetError(); e != GL_NO_ERROR)
            std::cout << "Error in frame " << e << std::endl;
        lastEye = eye;
        std::copy(eventHandler.centre, eventHandler.centre + 3, lastCentre);
    }
    eventHandler.panel = nullptr;
}

} // namespace

static_assert(colorModeNameCount == colorModeCount);

std::unique_ptr<GUI> makeSettingsPanel(int w, int h, double minProjectedSize, bool localTree) {
    auto panel = std::make_unique<GUI>(w, h);
    panel->addEntry("FPS", 0.0, false);
    panel->addEntry("GPU memory", 0, false);
    panel->addEntry("Brightness", 1.3, false);
    panel->addEntry("Contrast", 1.0, false);
    panel->addEntry("Mark current request", false, false);
    panel->addEntry("Draw LOD grid", false, false);
    panel->addEntry("Radius modifier", 1.0, false);
    panel->addEntry("Min projected size", minProjectedSize, false);
    panel->addEntry("Grid expansion", 0.0, false);
    panel->addEntry("Lighting", true, false);
    panel->addEntry("Mesh mode", false, false);
    // A local tree's nodes carry no point attributes: the four modes of the data's own values only.
    panel->addEntry("Color mode", colorModeNames, localTree ? 4 : colorModeNameCount,
                    int(eventHandler.colorMode) % (localTree ? 4 : colorModeNameCount), false);
    panel->addEntry("Eye-dome lighting", eventHandler.eyeDomeLighting, false);
    if (!localTree) {
        panel->addEntry("Point budget", int(eventHandler.pointBudget), false);
        panel->addEntry("Frame time target", eventHandler.frameTimeTarget, false);
        panel->getEntry("Point budget")->positiveOnly = true; // no budget at all would draw nothing
    }
    panel->addEntry("Screen mode", screenModeNames, screenModeCount, 4, false);
    if (localTree)
        panel->addEntry("Optimize surfaces", true, false);
    // Zero or less would fetch the whole data set, or draw nothing.
    panel->getEntry("Min projected size")->positiveOnly = true;
    panel->getEntry("Radius modifier")->positiveOnly = true;
    return panel;
}

void GL_Setup(int w, int h) {
    glViewport(0, 0, w, h);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(45.0, double(w) / double(h), 0.1, 30.0);
    glMatrixMode(GL_MODELVIEW);
    const GLfloat ambient[4] = {0, 0, 0, 1}, diffuse[4] = {1, 1, 1, 1}, specular[4] = {1, 1, 1, 1},
                  position[4] = {1, 0, 0, 1};
    glLightfv(GL_LIGHT0, GL_AMBIENT, ambient);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, diffuse);
    glLightfv(GL_LIGHT0, GL_SPECULAR, specular);
    glLightfv(GL_LIGHT0, GL_POSITION, position);
    glColorMaterial(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE);
    glEnable(GL_COLOR_MATERIAL);
}

void initGlew() {
    std::cout << "Initializing glew" << std::endl;
    glewExperimental = GL_TRUE;
    const GLenum rc = glewInit();
    // Under EGL glewInit reports "no GLX display" (4) although every entry point is loaded.
    if (rc != GLEW_OK && rc != 4) {
        std::cerr << "INFO: GLEW init failed, exiting. Error: " << glewGetErrorString(rc) << std::endl;
        std::exit(1);
    }
    glGetError(); // glewInit may leave GL_INVALID_ENUM behind
    std::cout << "Status: Using GLEW " << glewGetString(GLEW_VERSION) << std::endl;
    std::cout << "GLEW version supported: 1.3:" << (GLEW_VERSION_1_3 ? 1 : 0)
              << " 2.0:" << (GLEW_VERSION_2_0 ? 1 : 0) << " 2.1:" << (GLEW_VERSION_2_1 ? 1 : 0)
              << " 3.0:" << (GLEW_VERSION_3_0 ? 1 : 0) << " 3.3:" << (GLEW_VERSION_3_3 ? 1 : 0)
              << " 4.0:" << (GLEW_VERSION_4_0 ? 1 : 0) << std::endl;
    std::cout << "TransformFeedbackVaryings: " << (glewIsSupported("GL_VERSION_3_0") ? 1 : 0) << std::endl;
}

std::string checkDataset(const LASHeader& h, int levels) {
    // The refusals of every LAS entry point, in the same words; a served header has no file to measure.
    if (std::string problem = h.Problem(); !problem.empty())
        return problem;
    if (levels < 1 || levels > 32767)
        return "level count " + std::to_string(levels) + " is outside 1 to 32767";
    return "";
}

bool initConnection(const std::string* name, std::string* whyOut) {
    std::string why;
    auto fail = [&](const std::string& reason) {
        why = "Cannot show data set '" + datasetName + "': " + reason + ".";
        std::cout << why << std::endl;
        if (whyOut != nullptr)
            *whyOut = why;
        return false;
    };
    std::cout << "Loading points from server..." << std::endl;
    datasetName = name != nullptr ? *name : DEFAULT_DATASET;
    renderSettings.radius = 1.0;
    ServerRetriever retriever;
    levelNum = 0;
    const int rc = retriever.retrieveMetadata(retrievedHeader, levelNum);
    if (rc == 1)
        return fail("no connection could be set up");
    if (rc == 2)
        return fail("the header request failed");
    if (rc == 3)
        return fail("the level count request failed");
    std::cout << "Loading - retrieved level num: " << levelNum << std::endl;
    retrievedHeader.outputString();
    if (const std::string problem = checkDataset(retrievedHeader, levelNum); !problem.empty())
        return fail(problem);
    // Most airborne surveys carry no colour: heights tell more than plain white.
    if (!retrievedHeader.hasColor() && eventHandler.colorMode == COLOR_LAS)
        eventHandler.colorMode = COLOR_ELEVATION;

    GLfloat projection[16];
    glGetFloatv(GL_PROJECTION_MATRIX, projection);
    const double pixelFactor = projection[5] * 384.0;
    auto* selection = new RenderSelectionThread(datasetName, &retrievedHeader, pixelFactor,
                                                short(levelNum - 1), renderSettings.radius);
    if (selection->cache == nullptr || !selection->cache->isInitialized()) {
        delete selection;
        return fail("the tile cache could not be created");
    }
    lodThread = selection;
    lodThread->Start();

    const LASHeader& h = retrievedHeader;
    bounds = BBox3D{(h.Min_X - h.OffsetX) / h.ScaleFactor_X, (h.Max_X - h.OffsetX) / h.ScaleFactor_X,
                    (h.Min_Y - h.OffsetY) / h.ScaleFactor_Y, (h.Max_Y - h.OffsetY) / h.ScaleFactor_Y,
                    (h.Min_Z - h.OffsetZ) / h.ScaleFactor_Z, (h.Max_Z - h.OffsetZ) / h.ScaleFactor_Z};
    std::cout << h.Min_X << " " << bounds.minX << " " << bounds.maxX << " " << globalModelScale << std::endl;
    // Splat radii are in raw X units. The grid's scales use the widened bounds, so flat data (one height)
    // still has a finite scale.
    // The far plane reaches the data set's farthest corner from the model's origin, its centre (raw
    // coordinates themselves may be tens of millions of units from zero, which would waste the depth
    // buffer's precision).
    const double* scale = lodThread->grid->modelScale;
    const double* c = lodThread->grid->centreOffset;
    globalModelScale = scale[0];
    const double mx = std::max(std::abs(bounds.minX + c[0]), std::abs(bounds.maxX + c[0])) * scale[0];
    const double my = std::max(std::abs(bounds.minY + c[1]), std::abs(bounds.maxY + c[1])) * scale[1];
    const double mz = std::max(std::abs(bounds.minZ + c[2]), std::abs(bounds.maxZ + c[2])) * scale[2];
    largestDim = std::sqrt(mx * mx + my * my + mz * mz);
    const LODGrid& grid = *lodThread->grid;
    const auto first = grid.getTileBounds(0, true),
               last = grid.getTileBounds(int(grid.numberOfTiles) - 1, true);
    const double box[6] = {first[0],
                           last[1],
                           first[2],
                           last[3],
                           (grid.rawBounds[4] + grid.centreOffset[2]) * grid.modelScale[2],
                           (grid.rawBounds[5] + grid.centreOffset[2]) * grid.modelScale[2]};
    eventHandler.setFrame(box, double(width) / double(height));
    if (glGetError() != GL_NO_ERROR)
        std::cout << "Error during retrieval" << std::endl;
    return true;
}

bool openTree(const std::string& directory) {
    try {
        auto view = std::make_unique<TreeView>(directory);
        retrievedHeader = view->header;
        const TreeModelSpace& space = view->selection->space();
        globalModelScale = space.scale;
        const LASHeader& h = retrievedHeader;
        bounds = BBox3D{(h.Min_X - h.OffsetX) / h.ScaleFactor_X, (h.Max_X - h.OffsetX) / h.ScaleFactor_X,
                        (h.Min_Y - h.OffsetY) / h.ScaleFactor_Y, (h.Max_Y - h.OffsetY) / h.ScaleFactor_Y,
                        (h.Min_Z - h.OffsetZ) / h.ScaleFactor_Z, (h.Max_Z - h.OffsetZ) / h.ScaleFactor_Z};
        double sum = 0;
        for (int a = 0; a < 3; ++a) {
            const double lo = space.toModel(a, (&bounds.minX)[2 * a]),
                         hi = space.toModel(a, (&bounds.minX)[2 * a + 1]);
            sum += std::max(lo * lo, hi * hi);
        }
        largestDim = std::sqrt(sum);
        renderSettings.radius = 1.0;
        std::cout << "Opened local tree " << directory << ": " << h.NumberOfPointRecords << " points."
                  << std::endl;
        treeView = view.release();
        return true;
    } catch (const std::exception& e) {
        std::cout << "Cannot open local tree " << directory << ": " << e.what() << std::endl;
        return false;
    }
}

std::string serverBaseUrl(const std::string& given) {
    if (given.empty() || given.find_first_of(" \t\r\n") != std::string::npos)
        return "";
    std::string url = given;
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        url = "http://" + url;
    else if (url.compare(0, scheme, "http") != 0 && url.compare(0, scheme, "https") != 0)
        return "";
    const size_t hostStart = url.find("://") + 3;
    if (hostStart >= url.size() || url[hostStart] == '/' || url[hostStart] == ':')
        return "";
    const size_t path = url.find('/', hostStart);
    if (path == std::string::npos || path + 1 == url.size())
        return url.substr(0, path) + std::string(kServerBasePath);
    if (url.back() != '/')
        url += '/';
    return url;
}

namespace {

std::string viewerUsage(const std::string& defaultServer) {
    return "usage: pontaro-viewer [--server URL] [--dataset NAME] [--tree DIR]\n"
           "  Lists the data sets of the point server and streams the one chosen, drawn as lit, oriented "
           "splats.\n"
           "  --server URL    the point server (default " +
           defaultServer +
           ");\n"
           "                  a host, host:port or http://host:port, the protocol's path added when the URL "
           "has none\n"
           "  --dataset NAME  open this data set without the chooser (fails when the server does not have "
           "it)\n"
           "  --tree DIR      open the local tree that pontaro-tree built in DIR instead of a server's data "
           "set\n"
           "  -h, --help      this text\n";
}

// The shaders and the font lie beside the executable; a viewer started elsewhere (the repository root,
// which has Shaders/ but not the font) works from there. Paths given on the command line were made
// absolute first.
void findResources() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return;
    const fs::path dir = exe.parent_path();
    launchDirectory = fs::current_path(ec);
    if (fs::exists(dir / "Shaders" / "vShaderInt.vp", ec) && fs::exists(dir / "VeraMono.ttf", ec) &&
        !fs::equivalent(dir, fs::current_path(ec), ec)) {
        fs::current_path(dir, ec);
        if (!ec)
            std::cout << "Working directory: " << dir.string() << std::endl;
    }
}

// A data set named on the command line: a server started moments before may not answer yet.
bool connectNamed(const std::string& name, std::string& problem) {
    const Uint32 start = SDL_GetTicks();
    for (;;) {
        if (initConnection(&name, &problem))
            return true;
        if (problem.find("no connection could be set up") == std::string::npos ||
            SDL_GetTicks() - start > 10000)
            return false;
        SDL_Delay(250);
    }
}

} // namespace

int viewerMain(int argc, char** argv) {
    std::string treeDirectory, datasetArgument;
    bool datasetGiven = false;
    const std::string kViewerUsage = viewerUsage(DEFAULT_SERVER);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "-h" || a == "--help") {
            std::cout << kViewerUsage;
            return 0;
        } else if (a == "--tree" && hasValue) {
            treeDirectory = std::filesystem::absolute(argv[++i]).string();
        } else if (a == "--server" && hasValue) {
            const std::string url = serverBaseUrl(argv[++i]);
            if (url.empty()) {
                std::cerr << "pontaro-viewer: '" << argv[i]
                          << "' is not a point server URL (try http://HOST:" << kDefaultServerPort << ")\n";
                return 2;
            }
            DEFAULT_SERVER = url;
        } else if (a == "--dataset" && hasValue) {
            datasetArgument = argv[++i];
            datasetGiven = true;
        } else {
            std::cerr << "pontaro-viewer: "
                      << (hasValue || a.rfind("--", 0) != 0 ? "unknown argument '" + a + "'"
                                                            : a + " needs a value")
                      << "\n"
                      << kViewerUsage;
            return 2;
        }
    }
    if (!treeDirectory.empty())
        treePath = treeDirectory;
    findResources();
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::cerr << "Unable to initialize SDL. Exiting." << SDL_GetError() << std::endl;
        return 1;
    }
    SDL_version compiled;
    SDL_VERSION(&compiled);
    std::printf("We compiled against SDL version %d.%d.%d ...\n", compiled.major, compiled.minor,
                compiled.patch);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 16);
    SDL_GL_SetAttribute(SDL_GL_MULTISAMPLEBUFFERS, 1);
    SDL_GL_SetAttribute(SDL_GL_MULTISAMPLESAMPLES, 4);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    window = SDL_CreateWindow("Pontaro", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 400, 300,
                              SDL_WINDOW_OPENGL);
    if (window == nullptr) {
        // Without multisampling, rather than not at all.
        SDL_GL_SetAttribute(SDL_GL_MULTISAMPLEBUFFERS, 0);
        SDL_GL_SetAttribute(SDL_GL_MULTISAMPLESAMPLES, 0);
        window = SDL_CreateWindow("Pontaro", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 400, 300,
                                  SDL_WINDOW_OPENGL);
    }
    SDL_GLContext context = window != nullptr ? SDL_GL_CreateContext(window) : nullptr;
    if (context == nullptr) {
        std::cerr << "Unable to open an OpenGL window: " << SDL_GetError() << std::endl;
        SDL_Quit();
        return 1;
    }
    GL_Setup(400, 300);
    SDL_GL_SetSwapInterval(0); // not available everywhere (Xvfb): harmless
    glEnable(GL_MULTISAMPLE);
    initGlew();
    checkGLError("Error after setting video.");
    checkGLError("Error after initing GLEW.");
    printGPUmem();
    checkGLError("Error after printing GPU memory.");
    setWindowSize(1024, 768);
    width = 1024;
    height = 768;
    checkGLError("Error before initializing shaders.");
    initShaders(true);

    // The mesh worker's simplifications would print their progress for every tile.
    setGeometryLog(nullptr);
    std::string problem;
    int status = 0;
    if (!treeDirectory.empty()) {
        if (openTree(treeDirectory))
            frameLoop();
        else
            status = 1;
    }
    if (datasetGiven && treeDirectory.empty()) {
        if (connectNamed(datasetArgument, problem))
            frameLoop();
        else
            status = 1;
    }
    for (; treeDirectory.empty() && !datasetGiven;) {
        const std::string name = chooseDataset(problem);
        if (name.empty())
            break;
        if (initConnection(&name, &problem)) {
            frameLoop();
            break;
        }
    }
    if (lodThread != nullptr) {
        lodThread->cache->Stop();
        lodThread->Stop();
        delete lodThread; // joins both threads and deletes every request left
        lodThread = nullptr;
    }
    // Joins the node retriever before the nodes and their buffers go, with the context still current.
    delete treeView;
    treeView = nullptr;
    SDL_GL_DeleteContext(context);
    SDL_DestroyWindow(window);
    SDL_Quit();
    return status;
}
