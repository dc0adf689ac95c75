#include "LasLog.h"

#include <atomic>
#include <iostream>

namespace {
std::atomic<std::ostream*> log{&std::cout};
}

std::ostream* lasLog() {
    return log.load();
}

void setLasLog(std::ostream* out) {
    log.store(out);
}
