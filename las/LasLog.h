#pragma once
// Where the LAS library writes its messages (read errors, a header's description, the decoder's first GPS
// times): standard output unless a program says otherwise. A tool that reports in its own words points
// them at a stream of its own, or drops them, instead of redirecting standard output under the threads
// that write to it. Set it before workers start: every thread reads it.
#include <ostream>

// The stream messages go to; null when they are dropped.
std::ostream* lasLog();
void setLasLog(std::ostream* log);

// Points the messages at `log` (null drops them) for a scope.
class LasLogTo {
public:
    explicit LasLogTo(std::ostream* log) : previous_(lasLog()) { setLasLog(log); }
    ~LasLogTo() { setLasLog(previous_); }
    LasLogTo(const LasLogTo&) = delete;
    LasLogTo& operator=(const LasLogTo&) = delete;

private:
    std::ostream* previous_;
};
