// pontaro-viewer: streams a data set of the point server and draws it as lit, oriented splats.
#include "Viewer.h"

#include <filesystem>
#include <iostream>

int main(int argc, char** argv) {
    // The shaders and the font lie beside the executable; run from there when started elsewhere.
    std::error_code ec;
    if (!std::filesystem::exists("Shaders/vShaderInt.vp", ec)) {
        const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (!ec && std::filesystem::exists(exe.parent_path() / "Shaders" / "vShaderInt.vp", ec)) {
            std::filesystem::current_path(exe.parent_path(), ec);
            std::cout << "Working directory: " << exe.parent_path().string() << std::endl;
        }
    }
    return viewerMain(argc, argv);
}
