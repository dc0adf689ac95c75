#pragma once
// A hidden SDL window with a current GL context (GLEW loaded), for tests and benchmarks that need the GL
// thread of the viewer. Under Xvfb Mesa renders in software. `skipReason` says why there is none.
#include <GL/glew.h>
#include <SDL.h>

#include <string>

// SDL's video init (libdbus) and the GL driver keep allocations until exit by design. Allocations made
// while setting up or tearing down the window and context are therefore not leak-checked.
#if defined(__SANITIZE_ADDRESS__)
#define PONTARO_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PONTARO_LEAK_CHECKED 1
#endif
#endif
#ifdef PONTARO_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

// Allocations made while one lives are not leak-checked.
struct DriverAllocations {
    DriverAllocations() { leakChecking(false); }
    ~DriverAllocations() { leakChecking(true); }
    static void leakChecking(bool on) {
#ifdef PONTARO_LEAK_CHECKED
        if (on)
            __lsan_enable();
        else
            __lsan_disable();
#else
        (void)on;
#endif
    }
};

class HiddenGLWindow {
public:
    explicit HiddenGLWindow(int size = 64) : HiddenGLWindow(size, size) {}
    HiddenGLWindow(int width, int height) {
        const DriverAllocations notLeaks;
        if (SDL_Init(SDL_INIT_VIDEO) != 0) {
            skipReason = std::string("no display available: ") + SDL_GetError();
            return;
        }
        window = SDL_CreateWindow("pontaro test", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, width, height,
                                  SDL_WINDOW_HIDDEN | SDL_WINDOW_OPENGL);
        if (window == nullptr) {
            skipReason = std::string("no OpenGL window: ") + SDL_GetError();
            return;
        }
        context = SDL_GL_CreateContext(window);
        if (context == nullptr) {
            skipReason = std::string("no OpenGL context: ") + SDL_GetError();
            return;
        }
        glewExperimental = GL_TRUE;
        const GLenum glew = glewInit();
        // Under EGL glewInit reports "no GLX display" although every entry point is loaded.
        if (glew != GLEW_OK && glew != 4)
            skipReason = std::string("GLEW: ") + reinterpret_cast<const char*>(glewGetErrorString(glew));
        while (glGetError() != GL_NO_ERROR) {
        }
    }
    ~HiddenGLWindow() {
        const DriverAllocations notLeaks;
        if (context != nullptr)
            SDL_GL_DeleteContext(context);
        if (window != nullptr)
            SDL_DestroyWindow(window);
        SDL_Quit();
    }
    HiddenGLWindow(const HiddenGLWindow&) = delete;
    HiddenGLWindow& operator=(const HiddenGLWindow&) = delete;

    // Makes the context current on the calling thread with no GL error pending; false when there is none.
    bool makeCurrent() {
        const DriverAllocations notLeaks;
        if (!skipReason.empty() || SDL_GL_MakeCurrent(window, context) != 0)
            return false;
        while (glGetError() != GL_NO_ERROR) {
        }
        return true;
    }

    SDL_Window* window = nullptr;
    SDL_GLContext context = nullptr;
    std::string skipReason;
};
