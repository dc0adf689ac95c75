#include "LodTreeLog.h"

#include <atomic>
#include <iostream>

namespace {
std::atomic<std::ostream*> current{nullptr};
}

void setLodTreeLog(std::ostream* log) { current.store(log); }

std::ostream& lodTreeLog() {
    std::ostream* log = current.load();
    return log ? *log : std::cout;
}
