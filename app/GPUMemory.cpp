#include "GPUMemory.h"

#include <SDL.h>
#include <SDL_opengl.h>
#include <iostream>

#ifndef GL_GPU_MEMORY_INFO_TOTAL_AVAILABLE_MEMORY_NVX
#define GL_GPU_MEMORY_INFO_TOTAL_AVAILABLE_MEMORY_NVX 0x9048
#endif
#ifndef GL_GPU_MEMORY_INFO_CURRENT_AVAILABLE_VIDMEM_NVX
#define GL_GPU_MEMORY_INFO_CURRENT_AVAILABLE_VIDMEM_NVX 0x9049
#endif

namespace {

bool hasMemoryInfo() {
    // SDL reads the extension list the way the context supports (glGetStringi in core profiles).
    return SDL_GL_GetCurrentContext() != nullptr && SDL_GL_ExtensionSupported("GL_NVX_gpu_memory_info");
}

// The value of one NVX query, 0 when the driver rejects it. Only called with the extension present,
// so an error here is the query's own; it is drained so that callers checking glGetError after us do
// not see it. The count is bounded because glGetError may keep returning an error after a context loss.
GLint queryKilobytes(GLenum name) {
    GLint value = 0;
    glGetIntegerv(name, &value);
    bool failed = false;
    for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i)
        failed = true;
    return failed ? 0 : value;
}

} // namespace

int getUsedGPUmem() {
    if (!hasMemoryInfo())
        return 0;
    const GLint total = queryKilobytes(GL_GPU_MEMORY_INFO_TOTAL_AVAILABLE_MEMORY_NVX);
    const GLint current = queryKilobytes(GL_GPU_MEMORY_INFO_CURRENT_AVAILABLE_VIDMEM_NVX);
    return total - current;
}

int getFreeGPUmem() {
    if (!hasMemoryInfo())
        return 0;
    return queryKilobytes(GL_GPU_MEMORY_INFO_CURRENT_AVAILABLE_VIDMEM_NVX);
}

void printGPUmem() {
    if (!hasMemoryInfo())
        return;
    const GLint total = queryKilobytes(GL_GPU_MEMORY_INFO_TOTAL_AVAILABLE_MEMORY_NVX);
    const GLint current = queryKilobytes(GL_GPU_MEMORY_INFO_CURRENT_AVAILABLE_VIDMEM_NVX);
    std::cout << "GPU MEMORY: " << current << " kB free out of " << total << " kB total." << std::endl;
}
