// The GL half of render-to-texture. The surface is drawn with programs of its own, built from the splat
// shaders: the viewer's attribute programs capture the ground-plane position for transform feedback, while
// a texture coordinate needs the splat's clip position, so these capture gl_Position (16 bytes a splat).
#include "RenderToTexture.h"

#include <GL/glew.h>

#include <array>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

constexpr GLuint POSITION_ATT = 0, NORMAL_ATT = 1, COLOR_ATT = 2;
// Units the normalising programs sample; what the viewer has bound there is restored to nothing.
constexpr int RTT_NORMAL_UNIT = 1, RTT_COLOR_UNIT = 2;

struct Programs {
    GLuint frameBuffer = 0;
    GLuint attribute = 0, attributeColor = 0, normalizing = 0, normalizingColor = 0;
};
Programs gl;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The sources start with an optional #version line; the defines go after it.
GLuint compile(GLenum type, const std::string& source, const char* defines) {
    std::string head, body = source;
    if (source.rfind("#version", 0) == 0) {
        const size_t eol = source.find('\n');
        head = source.substr(0, eol + 1);
        body = source.substr(eol + 1);
    }
    const std::string text = head + defines + body;
    const char* p = text.c_str();
    const GLuint shader = glCreateShader(type);
    glShaderSource(shader, 1, &p, nullptr);
    glCompileShader(shader);
    GLint ok = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        char log[2048] = {};
        glGetShaderInfoLog(shader, sizeof log, nullptr, log);
        std::cout << "Render-to-texture shader compile error: " << log << std::endl;
    }
    return shader;
}

// `colours` is the vertex stage's colour function (attributeColors.vp), linked beside it.
GLuint link(GLuint vertex, GLuint colours, GLuint fragment, bool captureClip) {
    const GLuint program = glCreateProgram();
    if (vertex != 0) {
        glAttachShader(program, vertex);
        glAttachShader(program, colours);
        glBindAttribLocation(program, POSITION_ATT, "vPosition");
        glBindAttribLocation(program, NORMAL_ATT, "vNormal");
        glBindAttribLocation(program, COLOR_ATT, "vColor");
    }
    glAttachShader(program, fragment);
    if (captureClip) {
        const char* varyings[1] = {"gl_Position"};
        glTransformFeedbackVaryings(program, 1, varyings, GL_INTERLEAVED_ATTRIBS);
    }
    glLinkProgram(program);
    GLint ok = 0;
    glGetProgramiv(program, GL_LINK_STATUS, &ok);
    if (!ok) {
        char log[2048] = {};
        glGetProgramInfoLog(program, sizeof log, nullptr, log);
        std::cout << "Render-to-texture program link error: " << log << std::endl;
        glDeleteProgram(program);
        return 0;
    }
    return program;
}

void setSampler(GLuint program, const char* name, int unit) {
    glUseProgram(program);
    glUniform1i(glGetUniformLocation(program, name), unit);
}

GLuint newTexture(GLint internalFormat, GLenum format, GLenum type, int w, int h) {
    GLuint t = 0;
    glGenTextures(1, &t);
    glBindTexture(GL_TEXTURE_2D, t);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexImage2D(GL_TEXTURE_2D, 0, internalFormat, w, h, 0, format, type, nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
    return t;
}

void drainErrors() {
    while (glGetError() != GL_NO_ERROR) {
    }
}

// Attaches exactly the given textures (0 detaches) and selects the attachments that have one.
GLenum attach(GLuint target0, GLuint target1) {
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target0, 0);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT1, GL_TEXTURE_2D, target1, 0);
    const GLenum buffers[2] = {target0 ? GLenum(GL_COLOR_ATTACHMENT0) : GLenum(GL_NONE),
                               target1 ? GLenum(GL_COLOR_ATTACHMENT1) : GLenum(GL_NONE)};
    glDrawBuffers(2, buffers);
    return glCheckFramebufferStatus(GL_FRAMEBUFFER);
}

void fullscreenQuad() {
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0, 1, 0, 1, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glBegin(GL_QUADS);
    const float corners[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    for (const auto& c : corners) {
        glMultiTexCoord2f(GL_TEXTURE0, c[0], c[1]);
        glVertex2f(c[0], c[1]);
    }
    glEnd();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
}

} // namespace

unsigned int rttFB() {
    return gl.frameBuffer;
}

bool initializeRTTtextures(const char* shaderDirectory) {
    if (gl.frameBuffer != 0)
        return true;
    const std::string dir = shaderDirectory;
    const std::string vs = readFile(dir + "vShaderInt.vp"),
                      attributeFS = readFile(dir + "attributePassColor.fp"),
                      normalizingFS = readFile(dir + "normalizingPassColor.fp"),
                      coloursVS = readFile(dir + "attributeColors.vp");
    if (vs.empty() || attributeFS.empty() || normalizingFS.empty() || coloursVS.empty()) {
        std::cout << "Render-to-texture: shaders not found in " << dir << std::endl;
        return false;
    }
    const char* noColors = "#define EXCLUDE_COLORS\n";
    const GLuint v = compile(GL_VERTEX_SHADER, vs, ""), colours = compile(GL_VERTEX_SHADER, coloursVS, "");
    const GLuint fragments[4] = {
        compile(GL_FRAGMENT_SHADER, attributeFS, noColors), compile(GL_FRAGMENT_SHADER, attributeFS, ""),
        compile(GL_FRAGMENT_SHADER, normalizingFS, noColors), compile(GL_FRAGMENT_SHADER, normalizingFS, "")};
    Programs p;
    p.attribute = link(v, colours, fragments[0], true);
    p.attributeColor = link(v, colours, fragments[1], true);
    p.normalizing = link(0, 0, fragments[2], false);
    p.normalizingColor = link(0, 0, fragments[3], false);
    glDeleteShader(v);
    glDeleteShader(colours);
    for (GLuint f : fragments)
        glDeleteShader(f);
    if (!p.attribute || !p.attributeColor || !p.normalizing || !p.normalizingColor) {
        for (GLuint prog : {p.attribute, p.attributeColor, p.normalizing, p.normalizingColor})
            if (prog)
                glDeleteProgram(prog);
        return false;
    }
    for (GLuint prog : {p.normalizing, p.normalizingColor})
        setSampler(prog, "normalTex", RTT_NORMAL_UNIT);
    setSampler(p.normalizingColor, "colorTex", RTT_COLOR_UNIT);
    // The textures hold the surface's own colours: no brightness or contrast of the view.
    glUniform1f(glGetUniformLocation(p.normalizingColor, "brightness"), 1.0f);
    glUniform1f(glGetUniformLocation(p.normalizingColor, "contrast"), 1.0f);
    glUseProgram(0);
    glGenFramebuffers(1, &p.frameBuffer);
    gl = p;
    return true;
}

void releaseRTTtextures() {
    for (GLuint prog : {gl.attribute, gl.attributeColor, gl.normalizing, gl.normalizingColor})
        if (prog)
            glDeleteProgram(prog);
    if (gl.frameBuffer)
        glDeleteFramebuffers(1, &gl.frameBuffer);
    gl = Programs{};
}

std::vector<unsigned int> renderToTexture(const std::vector<Splat>& splats, const std::vector<Color>& colors,
                                          std::vector<float>& texCoords, const TreeFrame& frame, float radius,
                                          bool wantNormals, bool wantColors,
                                          const RenderToTextureSetup& setup) {
    texCoords.clear();
    if (gl.frameBuffer == 0 || splats.empty() || !(wantNormals || wantColors))
        return {};
    if (wantColors && colors.size() != splats.size()) {
        std::cout << "Render to texture: " << colors.size() << " colours for " << splats.size()
                  << " splats, drawing normals only" << std::endl;
        wantColors = false;
        if (!wantNormals)
            return {};
    }
    const int w = setup.width, h = setup.height;
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    if (w < 1 || h < 1 || w > maxSize || h > maxSize) {
        std::cout << "Render to texture: " << w << " x " << h << " is beyond the GL's texture limit of "
                  << maxSize << ", the surface stays splats" << std::endl;
        return {};
    }
    drainErrors();
    const GLsizeiptr n = GLsizeiptr(splats.size());

    // Accumulation targets, then the normalised results the mesh is drawn with. Sampled and drawn-into
    // textures are never the same: the normalising pass reads the sums and writes the results.
    const GLuint normalSum = newTexture(GL_RGBA16F, GL_RGBA, GL_FLOAT, w, h);
    const GLuint colorSum = wantColors ? newTexture(GL_RGBA16F, GL_RGBA, GL_FLOAT, w, h) : 0;
    const GLuint normalOut = wantNormals ? newTexture(GL_RGB16F, GL_RGB, GL_FLOAT, w, h) : 0;
    const GLuint colorOut = wantColors ? newTexture(GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, w, h) : 0;

    GLuint buffers[3] = {0, 0, 0}; // splats, colours, transform feedback
    glGenBuffers(wantColors ? 3 : 2, buffers);
    const GLuint vbo = buffers[0], tfb = wantColors ? buffers[2] : buffers[1],
                 cbo = wantColors ? buffers[1] : 0;
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glBufferData(GL_ARRAY_BUFFER, n * GLsizeiptr(sizeof(Splat)), splats.data(), GL_STATIC_DRAW);
    if (cbo) {
        glBindBuffer(GL_ARRAY_BUFFER, cbo);
        glBufferData(GL_ARRAY_BUFFER, n * GLsizeiptr(sizeof(Color)), colors.data(), GL_STATIC_DRAW);
    }
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindBuffer(GL_TRANSFORM_FEEDBACK_BUFFER, tfb);
    glBufferData(GL_TRANSFORM_FEEDBACK_BUFFER, n * 16, nullptr, GL_STATIC_READ);
    glBindBuffer(GL_TRANSFORM_FEEDBACK_BUFFER, 0);

    auto release = [&](bool keepResults) {
        glBindFramebuffer(GL_FRAMEBUFFER, gl.frameBuffer);
        attach(0, 0); // nothing of this surface stays a draw target
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteBuffers(wantColors ? 3 : 2, buffers);
        GLuint scratch[2] = {normalSum, colorSum};
        glDeleteTextures(colorSum ? 2 : 1, scratch);
        if (!keepResults) {
            for (GLuint t : {normalOut, colorOut})
                if (t)
                    glDeleteTextures(1, &t);
        }
    };
    if (const GLenum e = glGetError(); e != GL_NO_ERROR) {
        std::cout << "Render to texture: cannot allocate " << w << " x " << h << " textures and buffers for "
                  << n << " splats (GL error " << e << "), the surface stays splats" << std::endl;
        release(false);
        return {};
    }

    glBindFramebuffer(GL_FRAMEBUFFER, gl.frameBuffer);
    if (const GLenum status = attach(normalSum, colorSum); status != GL_FRAMEBUFFER_COMPLETE) {
        std::cout << "Framebuffer incomplete " << status << std::endl;
        release(false);
        return {};
    }

    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadMatrixf(setup.projection);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadMatrixf(setup.modelView);
    glViewport(0, 0, w, h);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);

    const GLuint program = wantColors ? gl.attributeColor : gl.attribute;
    glUseProgram(program);
    // Far out along the normal, so that every splat faces the eye the way the surface does.
    const float camPos[3] = {float(setup.centre[0] + setup.normal[0] * 1e4),
                             float(setup.centre[1] + setup.normal[1] * 1e4),
                             float(setup.centre[2] + setup.normal[2] * 1e4)};
    glUniform3fv(glGetUniformLocation(program, "camPos"), 1, camPos);
    glUniform1f(glGetUniformLocation(program, "viewportHeight"), float(h));
    glUniform1f(glGetUniformLocation(program, "radius"), radius * SPLAT_SIZE_FIX);
    const float scaling[3] = {float(frame.scale[0]), float(frame.scale[1]), float(frame.scale[2])};
    glUniform3fv(glGetUniformLocation(program, "scaling"), 1, scaling);
    glUniform3iv(glGetUniformLocation(program, "offsets"), 1, frame.offsets);

    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glEnable(GL_DEPTH_TEST); // no depth attachment: every fragment passes, as summing wants
    glDepthFunc(GL_LEQUAL);
    glDepthMask(GL_FALSE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ONE);
    glEnable(GL_POINT_SPRITE);
    glEnable(GL_VERTEX_PROGRAM_POINT_SIZE);
    glTexEnvi(GL_POINT_SPRITE, GL_COORD_REPLACE, GL_TRUE);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);

    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glEnableVertexAttribArray(POSITION_ATT);
    glVertexAttribIPointer(POSITION_ATT, 3, GL_INT, sizeof(Splat), nullptr);
    glEnableVertexAttribArray(NORMAL_ATT);
    glVertexAttribPointer(NORMAL_ATT, 3, GL_FLOAT, GL_FALSE, sizeof(Splat), reinterpret_cast<void*>(12));
    if (cbo) {
        glBindBuffer(GL_ARRAY_BUFFER, cbo);
        glEnableVertexAttribArray(COLOR_ATT);
        glVertexAttribPointer(COLOR_ATT, 3, GL_UNSIGNED_SHORT, GL_TRUE, sizeof(Color), nullptr);
    }
    GLuint query = 0;
    glGenQueries(1, &query);
    glBindBufferBase(GL_TRANSFORM_FEEDBACK_BUFFER, 0, tfb);
    glBeginQuery(GL_TRANSFORM_FEEDBACK_PRIMITIVES_WRITTEN, query);
    glBeginTransformFeedback(GL_POINTS);
    glDrawArrays(GL_POINTS, 0, GLsizei(n));
    glEndTransformFeedback();
    glEndQuery(GL_TRANSFORM_FEEDBACK_PRIMITIVES_WRITTEN);
    glBindBufferBase(GL_TRANSFORM_FEEDBACK_BUFFER, 0, 0);

    glDisableVertexAttribArray(POSITION_ATT);
    glDisableVertexAttribArray(NORMAL_ATT);
    glDisableVertexAttribArray(COLOR_ATT);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glDisable(GL_POINT_SPRITE);
    glDisable(GL_VERTEX_PROGRAM_POINT_SIZE);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);

    // Normalising: the sums are detached before they are sampled.
    bool ok = true;
    if (const GLenum status = attach(normalOut, colorOut); status != GL_FRAMEBUFFER_COMPLETE) {
        std::cout << "Framebuffer incomplete " << status << std::endl;
        ok = false;
    } else {
        glActiveTexture(GL_TEXTURE0 + RTT_NORMAL_UNIT);
        glBindTexture(GL_TEXTURE_2D, normalSum);
        glActiveTexture(GL_TEXTURE0 + RTT_COLOR_UNIT);
        glBindTexture(GL_TEXTURE_2D, colorSum);
        glUseProgram(wantColors ? gl.normalizingColor : gl.normalizing);
        fullscreenQuad();
        glBindTexture(GL_TEXTURE_2D, 0);
        glActiveTexture(GL_TEXTURE0 + RTT_NORMAL_UNIT);
        glBindTexture(GL_TEXTURE_2D, 0);
        glActiveTexture(GL_TEXTURE0);
    }
    glUseProgram(0);
    glViewport(viewport[0], viewport[1], viewport[2], viewport[3]);

    // The read-back takes no more than the buffer really holds and no more than the draw wrote.
    GLuint written = 0;
    glGetQueryObjectuiv(query, GL_QUERY_RESULT, &written);
    glDeleteQueries(1, &query);
    GLint64 bytes = 0;
    glBindBuffer(GL_TRANSFORM_FEEDBACK_BUFFER, tfb);
    glGetBufferParameteri64v(GL_TRANSFORM_FEEDBACK_BUFFER, GL_BUFFER_SIZE, &bytes);
    const GLsizeiptr records = std::min<GLsizeiptr>(GLsizeiptr(bytes / 16), GLsizeiptr(written));
    if (ok && records < n) {
        std::cout << "Render to texture: transform feedback returned " << records << " of " << n
                  << " splats, the surface stays splats" << std::endl;
        ok = false;
    }
    if (ok) {
        std::vector<float> clip(size_t(records) * 4);
        glGetBufferSubData(GL_TRANSFORM_FEEDBACK_BUFFER, 0, records * 16, clip.data());
        texCoords.resize(size_t(n) * 2);
        for (size_t i = 0; i < size_t(n); ++i) {
            texCoords[2 * i] = (clip[4 * i] + 1.0f) * 0.5f;
            texCoords[2 * i + 1] = (clip[4 * i + 1] + 1.0f) * 0.5f;
        }
    }
    glBindBuffer(GL_TRANSFORM_FEEDBACK_BUFFER, 0);
    if (const GLenum e = glGetError(); ok && e != GL_NO_ERROR) {
        std::cout << "Render to texture: GL error " << e << ", the surface stays splats" << std::endl;
        ok = false;
    }
    release(ok);
    if (!ok) {
        texCoords.clear();
        return {};
    }
    std::vector<unsigned int> result;
    if (wantColors)
        result.push_back(colorOut);
    if (wantNormals)
        result.push_back(normalOut);
    return result;
}
