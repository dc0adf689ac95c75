#include "ClassificationLog.h"

#include <iostream>
#include <mutex>

namespace {
std::mutex logMutex;
std::ostream* current = &std::cout; // guarded by logMutex
} // namespace

void setClassificationLog(std::ostream* log) {
    std::lock_guard lock(logMutex);
    current = log;
}

void classificationLog(std::string_view text) {
    std::lock_guard lock(logMutex);
    if (current)
        current->write(text.data(), std::streamsize(text.size())).flush();
}
