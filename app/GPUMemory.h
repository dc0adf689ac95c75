#pragma once
// Graphics memory as reported by the GL_NVX_gpu_memory_info extension, in kilobytes. Without the
// extension (or without a current GL context) every value is 0 and no GL error is left behind.

// Total available memory minus current available memory.
int getUsedGPUmem();
int getFreeGPUmem();
// Prints free and total memory when the extension is present; nothing otherwise.
void printGPUmem();
