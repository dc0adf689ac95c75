#pragma once
// The viewer program driven as a user drives it: its window on the test's X display (Xvfb) found, typed
// into and clicked with xdotool, its statistics read from its output, the screenshots it saves read back.
#include "TestConfig.h"
#include "support/RunProcess.h"

#include <SDL_image.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
    const uint8_t* at(int x, int y) const { return &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4]; }
    size_t pixels() const { return size_t(width) * size_t(height); }
};

// Empty when the file cannot be read.
inline Image loadPng(const std::string& path) {
    Image img;
    SDL_Surface* s = IMG_Load(path.c_str());
    SDL_Surface* c = s != nullptr ? SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_RGBA32, 0) : nullptr;
    SDL_FreeSurface(s);
    for (int y = 0; c != nullptr && y < c->h; ++y) {
        const auto* row = static_cast<const uint8_t*>(c->pixels) + size_t(y) * size_t(c->pitch);
        img.rgba.insert(img.rgba.end(), row, row + size_t(c->w) * 4);
        img.width = c->w, img.height = y + 1;
    }
    SDL_FreeSurface(c);
    return img;
}

// Not the background.
inline bool lit(const uint8_t* p) {
    return p[0] + p[1] + p[2] >= 30;
}
inline void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Why the viewer cannot be driven here; empty when it can.
inline std::string cannotDriveViewer() {
    if (std::getenv("DISPLAY") == nullptr)
        return "no X display (run the tests under xvfb-run)";
    return std::system("command -v xdotool >/dev/null 2>&1") == 0 ? "" : "xdotool is not installed";
}

// Hang guards are generous: sanitizer builds on a busy machine are slow. An ended viewer is not waited for.
class ViewerProcess {
public:
    explicit ViewerProcess(std::vector<std::string> args) {
        // The GL driver and libdbus keep allocations until exit: a sanitized viewer must not fail on them.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        args.insert(args.begin(), std::string(PONTARO_BIN_DIR) + "/pontaro-viewer");
        proc = std::make_unique<Process>(args);
        waitUntil(60, [&] {
            const std::string id =
                xdotool("search --pid " + std::to_string(proc->pid()) + " --name '^Pontaro$'");
            window = id.substr(0, id.find('\n'));
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
            sleepMs(50);
        }
        return false;
    }
    // The capture groups of every match of `re` in the output from byte `from` on.
    std::vector<std::vector<std::string>> matches(const std::string& re, size_t from = 0) const {
        const std::string o = out().substr(std::min(from, out().size()));
        const std::regex r(re);
        std::vector<std::vector<std::string>> all;
        for (auto it = std::sregex_iterator(o.begin(), o.end(), r); it != std::sregex_iterator(); ++it)
            all.emplace_back(it->begin(), it->end());
        return all;
    }
    // Waits for a line matching `re` whose captured numbers are all above 0.
    bool waitForPositive(const std::string& re, double seconds = 120) const {
        return waitUntil(seconds, [&] {
            for (const auto& m : matches(re))
                if (std::all_of(m.begin() + 1, m.end(),
                                [](const std::string& n) { return std::stol(n) > 0; }))
                    return true;
            return false;
        });
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
        std::vector<std::vector<std::string>> saved;
        waitUntil(60, [&] { return !(saved = matches("Saved screenshot (.+)\n", from)).empty(); });
        if (saved.empty())
            return {};
        Image img = loadPng(saved[0][1]);
        std::remove(saved[0][1].c_str());
        return img;
    }
    // Screenshots until two in a row agree: the scene has stopped changing.
    Image settledScreenshot() const {
        Image last = screenshot();
        for (int i = 0; i < 240 && proc->running(); ++i) {
            sleepMs(500);
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
    void quit(int escapes = 1, const char* ended = "Ended caching thread") {
        for (int i = 0; i < escapes; ++i)
            key("Escape"), sleepMs(300);
        ProcessResult r;
        if (!proc->waitFor(30, r))
            return ADD_FAILURE() << "the viewer did not quit:\n" << out();
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_TRUE(ended == nullptr || r.out.find(ended) != std::string::npos) << r.out;
        for (const char* fault : {"Error in frame", "Framebuffer incomplete", "Unable to load font",
                                  "Can't open file", "out of bounds"})
            EXPECT_EQ((r.out + r.err).find(fault), std::string::npos) << r.out << r.err;
    }
    std::unique_ptr<Process> proc;
    std::string window;

private:
    static std::string xdotool(const std::string& args) {
        return runProcess({"/bin/sh", "-c", "exec xdotool " + args + " 2>/dev/null"}).out;
    }
};
