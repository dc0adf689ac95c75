// libFuzzer target: any bytes as a request target to the point server's protocol, against a small data set
// built at start-up. Every reply must be an HTTP status with a body, and a point reply must produce exactly
// the bytes it announced, in whole records, without reading outside the mapped files.
#include "DatasetImport.h"
#include "DatasetStore.h"
#include "ServerProtocol.h"
#include "SyntheticScene.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace {
std::unique_ptr<DatasetStore> store;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string dir = std::filesystem::temp_directory_path() / ("pontaro-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    writeSyntheticLAS(dir + "/scene.las", SynthOptions{20000, 1, 5});
    importDataset(dir + "/scene.las", dir + "/data", "scene", 8);
    store = std::make_unique<DatasetStore>(DatasetStore::load(dir + "/data"));
    std::filesystem::remove_all(dir); // the mappings stay valid
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string target(reinterpret_cast<const char*>(data), size);
    // Most inputs are meant as the part after the base path, where the protocol is.
    if (target.empty() || target[0] != '/')
        target = std::string(kServerBasePath) + target;
    Reply r = answerRequest(*store, target);
    if (r.status != 200 && r.status != 400 && r.status != 404)
        std::abort();
    if (r.status != 200 && r.body.empty())
        std::abort();
    if (r.records) {
        uint64_t produced = 0;
        for (auto piece = r.records->next(); !piece.empty(); piece = r.records->next()) {
            volatile unsigned char sink = piece[0] ^ piece[piece.size() - 1];
            (void)sink;
            produced += piece.size();
        }
        if (produced != r.records->bytes() || produced % store->find("scene")->info.recordLength != 0)
            std::abort();
    }
    return 0;
}
