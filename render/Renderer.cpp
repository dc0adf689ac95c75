#include "Renderer.h"

#include "RenderSelectionThread.h"
#include "ServerRetriever.h"
#include "VertexAttributes.h"
#include "ViewMath.h"

#include <GL/glu.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>

GLuint visibilityPass, attributePass, attributePassColor, shadingPass, shadingPassColor, shadingPassLight,
    shadingPassColorLight, normalizingPass, normalizingPassColor;
GLuint visibilityPassTri, attributePassTri, attributePassTriColor;
GLuint* const pbrShaderPrograms[shaderNum] = {
    &visibilityPass,   &attributePass,         &attributePassColor, &shadingPass,         &shadingPassColor,
    &shadingPassLight, &shadingPassColorLight, &normalizingPass,    &normalizingPassColor};
GLuint* const triShaderPrograms[triShaderNum] = {&visibilityPassTri, &attributePassTri,
                                                 &attributePassTriColor};

GLuint frameBufferMain = GLuint(-1), depthTextureMain = GLuint(-1), normalTextureMain = GLuint(-1),
       colorTextureMain = GLuint(-1);
double sizeFactor = 1.0;
double globalModelScale = 1.0;
AttributeRanges attributeRanges;
bool eyeDomeLighting = false;
RenderSettings renderSettings;

namespace {

// Runs f with `program` in use and restores the program that was in use: glUniform acts on the program in
// use, so each program's uniforms are set while it is the one.
template <typename F> void withProgram(GLuint program, F&& f) {
    GLint previous = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &previous);
    glUseProgram(program);
    f();
    glUseProgram(GLuint(previous));
}

// A GL error of the kinds a uniform look-up raises, consumed.
bool lookupFailed() {
    bool failed = false;
    for (GLenum e = glGetError(); e != GL_NO_ERROR; e = glGetError())
        failed = failed || e == GL_INVALID_OPERATION || e == GL_INVALID_VALUE;
    return failed;
}

GLuint* const radiusPrograms[7] = {&attributePass,    &attributePassColor, &shadingPass,
                                   &shadingPassColor, &shadingPassLight,   &shadingPassColorLight,
                                   &visibilityPass};
GLuint* const brightnessPrograms[5] = {&shadingPass, &shadingPassLight, &shadingPassColor,
                                       &shadingPassColorLight, &normalizingPassColor};
GLuint* const shadingPrograms[4] = {&shadingPass, &shadingPassColor, &shadingPassLight,
                                    &shadingPassColorLight};

void setFloat(GLuint program, const char* name, float v) {
    glUniform1f(glGetUniformLocation(program, name), v);
}

void specifyTextures(int w, int h) {
    const int tw = int(w * sizeFactor), th = int(h * sizeFactor);
    if (depthTextureMain != GLuint(-1)) {
        glBindTexture(GL_TEXTURE_2D, depthTextureMain);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_DEPTH_COMPONENT, tw, th, 0, GL_DEPTH_COMPONENT, GL_FLOAT, nullptr);
    }
    if (normalTextureMain != GLuint(-1)) {
        glBindTexture(GL_TEXTURE_2D, normalTextureMain);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB16F, tw, th, 0, GL_RGB, GL_FLOAT, nullptr);
    }
    if (colorTextureMain != GLuint(-1)) {
        glBindTexture(GL_TEXTURE_2D, colorTextureMain);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA16F, tw, th, 0, GL_RGB, GL_FLOAT, nullptr);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
}

GLuint makeTexture() {
    GLuint t = 0;
    glGenTextures(1, &t);
    glBindTexture(GL_TEXTURE_2D, t);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    return t;
}

} // namespace

bool checkGLError(const char* message) {
    bool any = false;
    for (GLenum e = glGetError(); e != GL_NO_ERROR; e = glGetError()) {
        any = true;
        std::cout << message << " (error " << e << ": " << reinterpret_cast<const char*>(gluErrorString(e))
                  << ")" << std::endl;
    }
    return any;
}

char* loadShaderFromFile(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "Can't open file '%s' for reading\n", path);
        return nullptr;
    }
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    std::printf("File '%s' is %ld long\n", path, size);
    char* text = size >= 0 ? static_cast<char*>(std::malloc(size_t(size) + 1)) : nullptr;
    if (text == nullptr) {
        std::fprintf(stderr, "Can't malloc space for '%s'\n", path);
        std::fclose(f);
        return nullptr;
    }
    const size_t got = std::fread(text, 1, size_t(size), f);
    text[got] = '\0';
    std::fclose(f);
    return text;
}

GLuint generateShader(const char* source, GLenum type, std::string prefix) {
    const char* kind = type == GL_VERTEX_SHADER     ? "Vertex shader"
                       : type == GL_FRAGMENT_SHADER ? "Fragment shader"
                       : type == GL_GEOMETRY_SHADER ? "Geometry shader"
                                                    : "Unknown shader";
    const GLuint shader = glCreateShader(type);
    // A missing file leaves the stage without source: it fails to compile and says so.
    const char* texts[2] = {prefix.c_str(), source != nullptr ? source : ""};
    glShaderSource(shader, 2, texts, nullptr);
    glCompileShader(shader);
    GLint ok = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok) {
        std::cout << kind << " compile OK." << std::endl;
    } else {
        GLint length = 0;
        glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
        if (length >= 2) {
            std::string log(size_t(length), '\0');
            glGetShaderInfoLog(shader, length, nullptr, log.data());
            std::cout << kind << " compile error. Log:\n" << log.c_str() << std::endl;
        }
    }
    return shader;
}

void linkAndUseShader(GLuint program) {
    glLinkProgram(program);
    if (glGetError() != GL_NO_ERROR)
        std::printf("glLinkProgram failed.\n");
    if (!glIsProgram(program))
        std::printf("isProgram false\n");
    GLint linked = 0;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (linked)
        std::printf("Link status true\n");
    glUseProgram(program);
    if (glGetError() == GL_INVALID_OPERATION) {
        char log[301] = {};
        glGetProgramInfoLog(program, 300, nullptr, log);
        std::printf("glUseProgram failed. Log:\n%s", log);
    }
}

void initUniformInt(GLuint& program, int value, const char* name) {
    withProgram(program, [&] {
        const GLint loc = glGetUniformLocation(program, name);
        if (lookupFailed()) {
            std::cout << "Error in init of uniform " << name << " in program " << program << std::endl;
            return;
        }
        glUniform1i(loc, value);
        if (glGetError() != GL_NO_ERROR)
            std::cout << "glUniform fail for uniform " << name << " in program " << program << std::endl;
    });
}

void RenderSettings::initUniformDouble(GLuint& program, double value, const std::string& name,
                                       GLint& locationOut) {
    withProgram(program, [&] {
        locationOut = glGetUniformLocation(program, name.c_str());
        if (lookupFailed()) {
            std::cout << "Error in init of uniform " << name << " in program " << program << std::endl;
            return;
        }
        glUniform1f(locationOut, float(value));
        if (glGetError() != GL_NO_ERROR)
            std::cout << "glUniform fail for uniform " << name << " in program " << program << std::endl;
    });
}

void RenderSettings::init() {
    radius = 1.0;
    spare[0] = 1.0;
    spare[1] = 10.0;
    startLevel = 3;
    checkGLError("Error before using program");
    glUseProgram(shadingPass);
    checkGLError("Error before radius init");
    for (int i = 0; i < 7; ++i)
        initUniformDouble(*radiusPrograms[i], radius, "radius", radiusLoc[i]);
    checkGLError("Error after radius init");
    for (int i = 0; i < 5; ++i) {
        initUniformDouble(*brightnessPrograms[i], 1.0, "brightness", brightnessLoc[i]);
        initUniformDouble(*brightnessPrograms[i], 1.0, "contrast", contrastLoc[i]);
    }
    glUseProgram(0);
}

void RenderSettings::loadRadius(double r) {
    for (int i = 0; i < 7; ++i)
        withProgram(*radiusPrograms[i], [&] { glUniform1f(radiusLoc[i], float(r)); });
    if (glGetError() != GL_NO_ERROR)
        std::cout << "Error setting radius" << std::endl;
}

void RenderSettings::loadBrightnessContrast(float brightness, float contrast) {
    for (int i = 0; i < 5; ++i)
        withProgram(*brightnessPrograms[i], [&] {
            glUniform1f(brightnessLoc[i], brightness);
            glUniform1f(contrastLoc[i], contrast);
        });
}

void initShaders(bool intCoords) {
    std::cout << (intCoords ? "Initializing shaders with integer splat coordinates"
                            : "Initializing shaders with float splat coordinates")
              << std::endl;
    char* pointVS = loadShaderFromFile(intCoords ? "./Shaders/vShaderInt.vp" : "./Shaders/vShaderLOD.vp");
    char* triVS = loadShaderFromFile(intCoords ? "./Shaders/vShaderTriInt.vp" : "./Shaders/vShaderTri.vp");
    char* visibilityFS = loadShaderFromFile("./Shaders/visibilityPass.fp");
    char* attributeFS = loadShaderFromFile("./Shaders/attributePassColor.fp");
    char* visibilityTriFS = loadShaderFromFile("./Shaders/visibilityPassTri.fp");
    char* attributeTriFS = loadShaderFromFile("./Shaders/attributePassTriColor.fp");
    char* shadingFS = loadShaderFromFile("./Shaders/shadingPassColor.fp");
    char* normalizingFS = loadShaderFromFile("./Shaders/normalizingPassColor.fp");

    char* coloursVS = loadShaderFromFile("./Shaders/attributeColors.vp");

    const std::string noColors = "#define EXCLUDE_COLORS \n";
    const GLuint vs = generateShader(pointVS, GL_VERTEX_SHADER, "");
    const GLuint triVs = generateShader(triVS, GL_VERTEX_SHADER, "");
    const GLuint coloursVs = generateShader(coloursVS, GL_VERTEX_SHADER, "");
    struct Variant {
        GLuint* program;
        GLuint vertex; // 0: fixed-function vertex stage
        const char* source;
        std::string prefix;
        const char* attachError;
    };
    const Variant variants[12] = {
        {&visibilityPass, vs, visibilityFS, "", "point glAttachShader fs fail\n"},
        {&attributePass, vs, attributeFS, noColors, "point glAttachShader fs fail\n"},
        {&attributePassColor, vs, attributeFS, "", "point glAttachShader fs fail\n"},
        {&visibilityPassTri, triVs, visibilityTriFS, "", "tri glAttachShader fs fail\n"},
        {&attributePassTri, triVs, attributeTriFS, noColors, "tri glAttachShader fs fail\n"},
        {&attributePassTriColor, triVs, attributeTriFS, "", "tri glAttachShader fs fail\n"},
        {&shadingPass, 0, shadingFS, noColors, "shd glAttachShader fs fail\n"},
        {&shadingPassColor, 0, shadingFS, "", "shd glAttachShader fs fail\n"},
        {&shadingPassLight, 0, shadingFS, "#define USE_LIGHTING\n #define EXCLUDE_COLORS \n",
         "shd glAttachShader fs fail\n"},
        {&shadingPassColorLight, 0, shadingFS, "#define USE_LIGHTING\n", "shd glAttachShader fs fail\n"},
        {&normalizingPass, 0, normalizingFS, noColors, "shd glAttachShader fs fail\n"},
        {&normalizingPassColor, 0, normalizingFS, "", "shd glAttachShader fs fail\n"},
    };
    GLuint fragment[12];
    for (int i = 0; i < 12; ++i)
        fragment[i] = generateShader(variants[i].source, GL_FRAGMENT_SHADER, variants[i].prefix);
    if (GLenum e = glGetError(); e != GL_NO_ERROR)
        std::cout << "Error after generating shaders: (error " << e << ": "
                  << reinterpret_cast<const char*>(gluErrorString(e)) << ")" << std::endl;

    for (const Variant& v : variants) {
        *v.program = glCreateProgram();
        if (glGetError() != GL_NO_ERROR)
            std::printf("glCreateProgram fail\n");
    }
    std::cout << "Create program check: " << visibilityPass << " " << (glIsProgram(visibilityPass) ? 1 : 0)
              << std::endl;
    for (int i = 0; i < 12; ++i) {
        const Variant& v = variants[i];
        if (v.vertex != 0) {
            glAttachShader(*v.program, v.vertex);
            glAttachShader(*v.program, coloursVs);
            if (glGetError() != GL_NO_ERROR)
                std::printf("glAttachShader vs fail\n");
        }
        glAttachShader(*v.program, fragment[i]);
        if (glGetError() != GL_NO_ERROR)
            std::printf("%s", v.attachError);
        if (v.vertex != 0) {
            glBindAttribLocation(*v.program, positionAtt, "vPosition");
            glBindAttribLocation(*v.program, normalAtt, "vNormal");
            glBindAttribLocation(*v.program, colorAtt, "vColor");
            glBindAttribLocation(*v.program, attributesAtt, "vAttributes");
            if (v.vertex == triVs)
                glBindAttribLocation(*v.program, texAtt, "vTexCoords");
        }
    }
    const char* varyings[1] = {"fTexCoords"};
    for (GLuint* p : {&attributePass, &attributePassColor})
        glTransformFeedbackVaryings(*p, 1, varyings, GL_INTERLEAVED_ATTRIBS);
    glGetError(); // a program without that varying only fails to declare it

    auto samplers = [](GLuint& p) {
        const bool shading = &p == &shadingPass || &p == &shadingPassColor || &p == &shadingPassLight ||
                             &p == &shadingPassColorLight;
        if (shading)
            initUniformInt(p, DEPTH_TEXTURE, "depthTex");
        if (shading || &p == &normalizingPass || &p == &normalizingPassColor || &p == &attributePassTri ||
            &p == &attributePassTriColor)
            initUniformInt(p, NORMAL_TEXTURE, "normalTex");
        if (&p == &shadingPassColor || &p == &shadingPassColorLight || &p == &normalizingPassColor ||
            &p == &attributePassTriColor)
            initUniformInt(p, COLOR_TEXTURE, "colorTex");
    };
    linkAndUseShader(visibilityPass);
    linkAndUseShader(attributePass);
    std::cout << "Linked attribute pass" << std::endl;
    setFloat(attributePass, "radius", 1.0f);
    linkAndUseShader(attributePassColor);
    setFloat(attributePassColor, "radius", 1.0f);
    for (GLuint* p :
         {&visibilityPassTri, &attributePassTri, &attributePassTriColor, &shadingPass, &shadingPassColor,
          &shadingPassLight, &shadingPassColorLight, &normalizingPass, &normalizingPassColor}) {
        linkAndUseShader(*p);
        samplers(*p);
    }
    glUseProgram(0);
    for (char* t : {pointVS, triVS, visibilityFS, attributeFS, visibilityTriFS, attributeTriFS, shadingFS,
                    normalizingFS, coloursVS})
        std::free(t);
}

void initModelUniforms(const double scale[3], const int offsets[3]) {
    auto each = [&](GLuint program) {
        withProgram(program, [&] {
            for (const char* name : {"scaling", "offsets"}) {
                const GLint loc = glGetUniformLocation(program, name);
                if (lookupFailed()) {
                    std::cout << "Error in init of uniform " << name << " in program " << program
                              << std::endl;
                    continue;
                }
                if (name[0] == 's')
                    glUniform3f(loc, float(scale[0]), float(scale[1]), float(scale[2]));
                else
                    glUniform3i(loc, offsets[0], offsets[1], offsets[2]);
            }
        });
    };
    for (GLuint* p : pbrShaderPrograms)
        each(*p);
    for (GLuint* p : triShaderPrograms)
        each(*p);
}

void initModelUniforms(double scale, const int offsets[3]) {
    const double scales[3] = {scale, scale, scale};
    initModelUniforms(scales, offsets);
}

void initTexturesAndBuffers(int w, int h) {
    depthTextureMain = makeTexture();
    normalTextureMain = makeTexture();
    colorTextureMain = makeTexture();
    specifyTextures(w, h);
    glGenFramebuffers(1, &frameBufferMain);
    glBindFramebuffer(GL_FRAMEBUFFER, frameBufferMain);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_TEXTURE_2D, depthTextureMain, 0);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, normalTextureMain, 0);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT1, GL_TEXTURE_2D, colorTextureMain, 0);
    const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE)
        std::cout << "Framebuffer incomplete " << status << std::endl;
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
}

void resizeTexturesAndBuffers(int w, int h) {
    specifyTextures(w, h);
}

GLenum frameBufferStatus() {
    if (frameBufferMain == GLuint(-1))
        return GL_FRAMEBUFFER_UNDEFINED;
    glBindFramebuffer(GL_FRAMEBUFFER, frameBufferMain);
    const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    return status;
}

void setCameraPosition(float x, float y, float z) {
    for (GLuint* p : {&visibilityPass, &attributePass, &attributePassColor, &shadingPass, &shadingPassColor,
                      &shadingPassLight, &shadingPassColorLight, &visibilityPassTri, &attributePassTri,
                      &attributePassTriColor}) {
        glUseProgram(*p);
        glUniform3f(glGetUniformLocation(*p, "camPos"), x, y, z);
    }
    if (glGetError() != GL_NO_ERROR)
        std::cout << "Error setting cameraPosition" << std::endl;
}

void uploadModelView() {
    glGetFloatv(GL_MODELVIEW_MATRIX, modelViewMatrix);
    glGetFloatv(GL_PROJECTION_MATRIX, projMatrix);
    float rows[4][4];
    float* r[4] = {rows[0], rows[1], rows[2], rows[3]};
    modelViewProjectionMatrix(modelViewMatrix, projMatrix, r);
    float columnMajor[16];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            columnMajor[4 * j + i] = rows[i][j];
    storeModelViewProjMatrix(columnMajor);
    withProgram(visibilityPass, [&] {
        glUniformMatrix4fv(glGetUniformLocation(visibilityPass, "mvProj"), 1, GL_FALSE, columnMajor);
    });
}

void uploadInverse() {
    glGetFloatv(GL_MODELVIEW_MATRIX, modelViewMatrix);
    glGetFloatv(GL_PROJECTION_MATRIX, projMatrix);
    float rows[4][4] = {};
    float* r[4] = {rows[0], rows[1], rows[2], rows[3]};
    modelViewProjectionInverse(modelViewMatrix, projMatrix, r);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            inverseMatrix[4 * j + i] = rows[i][j];
    for (GLuint* p : shadingPrograms)
        withProgram(*p, [&] {
            glUniformMatrix4fv(glGetUniformLocation(*p, "inverseM"), 1, GL_FALSE, inverseMatrix);
        });
}

void initVisibilityPass() {
    glDepthMask(GL_TRUE);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glDrawBuffer(GL_NONE);
    glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    glDisable(GL_BLEND);
    glEnable(GL_POINT_SPRITE);
    glEnable(GL_VERTEX_PROGRAM_POINT_SIZE);
    glTexEnvi(GL_POINT_SPRITE, GL_COORD_REPLACE, GL_TRUE);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
}

void initAttributePass(bool pointSprites, bool blend) {
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glDepthMask(blend ? GL_FALSE : GL_TRUE);
    if (blend) {
        glEnable(GL_BLEND);
        glBlendFunc(GL_ONE, GL_ONE);
    } else {
        glDisable(GL_BLEND);
    }
    if (pointSprites) {
        glEnable(GL_POINT_SPRITE);
        glEnable(GL_VERTEX_PROGRAM_POINT_SIZE);
        glTexEnvi(GL_POINT_SPRITE, GL_COORD_REPLACE, GL_TRUE);
    }
}

void initShadingPass() {
    glDisable(GL_POINT_SPRITE);
    glDisable(GL_VERTEX_PROGRAM_POINT_SIZE);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDrawBuffer(GL_BACK);
    // The attribute pass turned depth writes off; without them the clear would leave the window's depth
    // buffer as it was, and overlays drawn later would test against stale (after a resize, undefined) depth.
    glDepthMask(GL_TRUE);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    glActiveTexture(GL_TEXTURE0 + NORMAL_TEXTURE);
    glBindTexture(GL_TEXTURE_2D, normalTextureMain);
    glActiveTexture(GL_TEXTURE0 + DEPTH_TEXTURE);
    glBindTexture(GL_TEXTURE_2D, depthTextureMain);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
}

void drawFullscreenTexture() {
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0, 1, 0, 1, -5, 100);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glBegin(GL_QUADS);
    const float corners[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    for (const auto& c : corners) {
        for (GLenum unit : {GL_TEXTURE0, GL_TEXTURE1, GL_TEXTURE2})
            glMultiTexCoord2f(unit, c[0], c[1]);
        glVertex3f(c[0], c[1], 0);
    }
    glEnd();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
}

GLuint SDL_GL_SurfaceToTexture(SDL_Surface* s) {
    if (s == nullptr)
        return 0;
    // One conversion to 32-bit ARGB gives tightly packed rows (text surfaces have padded ones).
    SDL_Surface* argb = SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_ARGB8888, 0);
    if (argb == nullptr)
        return 0;
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, argb->pitch / 4);
    glTexImage2D(GL_TEXTURE_2D, 0, 4, argb->w, argb->h, 0, GL_BGRA, GL_UNSIGNED_BYTE, argb->pixels);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glBindTexture(GL_TEXTURE_2D, 0);
    SDL_FreeSurface(argb);
    return texture;
}

int drawPasses(int width, int height, int colorMode, bool lighting, float brightness, float contrast,
               bool hasColor, const PassGeometry& geometry) {
    glUseProgram(0);
    const double remembered = renderSettings.radius;
    checkGLError("Error before setting brightness");
    renderSettings.loadBrightnessContrast(brightness, contrast);
    if (glGetError() != GL_NO_ERROR)
        std::cout << "Error setting brightness and contrast" << std::endl;
    checkGLError("Error before visibility pass");

    glBindFramebuffer(GL_FRAMEBUFFER, frameBufferMain);
    initVisibilityPass();
    glEnableVertexAttribArray(positionAtt);
    glEnableVertexAttribArray(normalAtt);
    geometry(PASS_VISIBILITY, false);
    glDisableVertexAttribArray(positionAtt);
    glDisableVertexAttribArray(normalAtt);

    // The modes by attribute colour the splats in the attribute pass as the data's colours do.
    const bool byAttribute = colorMode >= COLOR_ELEVATION && colorMode < colorModeCount;
    const bool colors =
        ((hasColor || StreamReaders::forceClassificationColors) && colorMode == COLOR_LAS) || byAttribute;
    const ColorSource source = byAttribute ? ColorSource(colorMode - COLOR_ELEVATION + 1) : ColorSource::Data;
    for (GLuint program : {attributePassColor, attributePassTriColor})
        withProgram(program, [&] {
            glUniform1i(glGetUniformLocation(program, "colorSource"), int(source));
            const double* range =
                source == ColorSource::Intensity ? attributeRanges.intensity : attributeRanges.height;
            glUniform2f(glGetUniformLocation(program, "attributeRange"), float(range[0]), float(range[1]));
        });
    if (colors) {
        const GLenum buffers[2] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1};
        glDrawBuffers(2, buffers);
        glColor3f(0, 1, 0);
    } else {
        glDrawBuffer(GL_COLOR_ATTACHMENT0);
    }
    // The accumulation starts from zero weight everywhere.
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    initAttributePass(false, true);
    glEnableVertexAttribArray(positionAtt);
    glEnableVertexAttribArray(normalAtt);
    const GLuint colourArray = byAttribute ? attributesAtt : colorAtt;
    if (colors)
        glEnableVertexAttribArray(colourArray);
    checkGLError("Error before render in attribute pass");
    const int drawn = geometry(PASS_ATTRIBUTE, colors);
    glDisableVertexAttribArray(positionAtt);
    glDisableVertexAttribArray(normalAtt);
    if (colors)
        glDisableVertexAttribArray(colourArray);

    initShadingPass();
    const GLuint shading = colors ? (lighting ? shadingPassColorLight : shadingPassColor)
                                  : (lighting ? shadingPassLight : shadingPass);
    glUseProgram(shading);
    if (colors) {
        glActiveTexture(GL_TEXTURE0 + COLOR_TEXTURE);
        glBindTexture(GL_TEXTURE_2D, colorTextureMain);
    }
    setFloat(shading, "viewportWidth", float(width));
    setFloat(shading, "viewportHeight", float(height));
    setFloat(shading, "drawMode", float(byAttribute ? COLOR_LAS : colorMode));
    // Eye-dome lighting reads the visibility pass's depth as distances from the eye: the near and far
    // planes of the projection the splats were drawn with.
    const float n = projMatrix[14] / (projMatrix[10] - 1.0f), f = projMatrix[14] / (projMatrix[10] + 1.0f);
    setFloat(shading, "edlStrength", eyeDomeLighting ? 1.0f : 0.0f);
    glUniform2f(glGetUniformLocation(shading, "nearFar"), n, f);
    drawFullscreenTexture();

    glDisable(GL_TEXTURE_2D);
    glDisable(GL_DEPTH_TEST);
    glActiveTexture(GL_TEXTURE0);
    glUseProgram(0);
    glColor4f(1, 1, 0, 1);
    renderSettings.radius = remembered;
    renderSettings.loadRadius(remembered);
    return drawn;
}

void useSplatProgram(int pass, bool colors, int height, double diameter) {
    renderSettings.loadRadius(diameter);
    const GLuint program = pass == PASS_VISIBILITY ? visibilityPass
                           : colors                ? attributePassColor
                                                   : attributePass;
    glUseProgram(program);
    setFloat(program, "viewportHeight", float(height));
}

int drawSplatPasses(RenderSelectionThread* selection, int width, int height, int colorMode, bool lighting,
                    float brightness, float contrast, double radiusModifier, float gridExpansion, int levels,
                    bool hasColor) {
    auto levelRadius = [&](int level) {
        return selection->levelRadius[size_t(level)].load() * radiusModifier * globalModelScale * 2;
    };
    return drawPasses(width, height, colorMode, lighting, brightness, contrast, hasColor,
                      [&](int pass, bool colors) {
                          const bool visibility = pass == PASS_VISIBILITY;
                          const ColorMode mode = visibility ? COLOR_OFF : ColorMode(colorMode);
                          int drawn = 0;
                          for (int l = 0; l < levels; ++l) {
                              useSplatProgram(pass, colors, height, levelRadius(l));
                              drawn += selection->renderSplats(short(l), mode, gridExpansion);
                              glBindBuffer(GL_ARRAY_BUFFER, 0);
                          }
                          if (selection->meshMode()) {
                              // The meshes' fragments lie exactly on the depth of the visibility pass and
                              // weigh 1 each.
                              glUseProgram(visibility ? visibilityPassTri
                                           : colors   ? attributePassTriColor
                                                      : attributePassTri);
                              selection->renderMeshes(mode, gridExpansion);
                              glBindBuffer(GL_ARRAY_BUFFER, 0);
                          }
                          return drawn;
                      });
}
