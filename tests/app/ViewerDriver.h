#pragma once
// The viewer program driven as a user drives it: its window on the test's X display (Xvfb) found, typed
// into and clicked with xdotool, its statistics read from its output, the screenshots it saves read back.
#include "TestConfig.h"
#include "support/RunProcess.h"

#include <SDL_image.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
    const uint8_t* at(int x, int y) const { return &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4]; }
};

inline Image loadPng(const std::string& path) {
    Image img;
    SDL_Surface* s = IMG_Load(path.c_str());
    if (s == nullptr)
        return img;
    SDL_Surface* c = SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_RGBA32, 0);
    SDL_FreeSurface(s);
    img.width = c->w, img.height = c->h;
    img.rgba.resize(size_t(c->w) * size_t(c->h) * 4);
    for (int y = 0; y < c->h; ++y)
        std::memcpy(&img.rgba[size_t(y) * size_t(c->w) * 4],
                    static_cast<uint8_t*>(c->pixels) + size_t(y) * size_t(c->pitch), size_t(c->w) * 4);
    SDL_FreeSurface(c);
    return img;
}

// Not the background.
inline bool lit(const uint8_t* p) {
    return p[0] + p[1] + p[2] >= 30;
}
// Differs by more than a little in some channel.
inline bool differs(const uint8_t* a, const uint8_t* b) {
    return std::abs(a[0] - b[0]) > 24 || std::abs(a[1] - b[1]) > 24 || std::abs(a[2] - b[2]) > 24;
}
inline size_t differing(const Image& a, const Image& b) {
    if (a.width != b.width || a.height != b.height)
        return size_t(a.width) * size_t(a.height);
    size_t n = 0;
    for (size_t i = 0; i < a.rgba.size(); i += 4)
        n += differs(&a.rgba[i], &b.rgba[i]);
    return n;
}

inline bool xdotool(const std::string& args) {
    return std::system(("xdotool " + args + " >/dev/null 2>&1").c_str()) == 0;
}

// Why the viewer cannot be driven here; empty when it can.
inline std::string cannotDriveViewer() {
    if (std::getenv("DISPLAY") == nullptr)
        return "no X display (run the tests under xvfb-run)";
    if (std::system("command -v xdotool >/dev/null 2>&1") != 0)
        return "xdotool is not installed";
    return "";
}

// Hang guards are generous: sanitizer builds on a busy machine are slow. A viewer that has ended is not
// waited for.
class ViewerProcess {
public:
    explicit ViewerProcess(std::vector<std::string> args) {
        // The GL driver and libdbus keep allocations until exit: a sanitized viewer must not fail on them.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        args.insert(args.begin(), std::string(PONTARO_BIN_DIR) + "/pontaro-viewer");
        proc = std::make_unique<Process>(args);
        waitUntil(60, [&] {
            FILE* f = popen(
                ("xdotool search --pid " + std::to_string(proc->pid()) + " --name '^Pontaro$' 2>/dev/null")
                    .c_str(),
                "r");
            char line[64] = {};
            if (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
                window = std::to_string(std::atol(line));
            if (f != nullptr)
                pclose(f);
            return !window.empty();
        });
    }
    std::string out() const { return proc->out(); }
    std::string log() const { return proc->out() + proc->err(); }

    // Polls `done` every 50 ms for up to `seconds` while the viewer runs.
    bool waitUntil(double seconds, const std::function<bool()>& done) const {
        for (int i = 0; i < int(seconds * 20); ++i) {
            if (done())
                return true;
            if (!proc->running())
                return done();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // The capture groups of every match of `re` in the output.
    std::vector<std::vector<std::string>> matches(const std::string& re, size_t from = 0) const {
        std::string o = out();
        o.erase(0, std::min(from, o.size()));
        const std::regex r(re);
        std::vector<std::vector<std::string>> all;
        for (auto it = std::sregex_iterator(o.begin(), o.end(), r); it != std::sregex_iterator(); ++it)
            all.emplace_back(it->begin(), it->end());
        return all;
    }
    void key(const std::string& k) const { xdotool("key --window " + window + " " + k); }
    void click(int x, int y) const {
        xdotool("mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
                " click 1");
    }

    // Presses p and returns the screenshot saved (in the directory the viewer was started from).
    Image screenshot() const {
        const size_t from = out().size();
        key("p");
        std::string name;
        waitUntil(60, [&] {
            const std::string o = out();
            const size_t at = o.find("Saved screenshot ", from), end = o.find('\n', at);
            if (at != std::string::npos && end != std::string::npos)
                name = o.substr(at + 17, end - at - 17);
            return !name.empty();
        });
        Image img = loadPng(name);
        std::remove(name.c_str());
        return img;
    }
    // Screenshots until two in a row agree: the scene has stopped changing.
    Image settledScreenshot() const {
        Image last = screenshot();
        for (int i = 0; i < 240 && proc->running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            Image next = screenshot();
            if (!next.rgba.empty() && next.rgba == last.rgba)
                return next;
            last = std::move(next);
        }
        ADD_FAILURE() << (proc->running() ? "the image kept changing" : "the viewer ended");
        return last;
    }

    // Escape quits (a first one only closes a panel entry left selected by a click); the viewer must end
    // cleanly, having found its resources and ended its worker thread.
    ProcessResult quit(int escapes = 1, const char* ended = "Ended caching thread") {
        for (int i = 0; i < escapes; ++i) {
            key("Escape");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        ProcessResult r;
        if (!proc->waitFor(30, r)) {
            ADD_FAILURE() << "the viewer did not quit:\n" << out();
            return r;
        }
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_TRUE(ended == nullptr || r.out.find(ended) != std::string::npos) << r.out;
        for (const char* fault : {"Error in frame", "Framebuffer incomplete", "Unable to load font",
                                  "Can't open file", "out of bounds"})
            EXPECT_EQ((r.out + r.err).find(fault), std::string::npos) << r.out << r.err;
        return r;
    }

    std::unique_ptr<Process> proc;
    std::string window;
};
