#pragma once
// Strict argument parsing shared by the command-line tools: numbers must be whole and in range, every
// option must be known, and failures become one line on standard error with a non-zero exit.
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

template <typename T> T parseNumber(std::string_view text, std::string_view what, T lo = std::numeric_limits<T>::min(),
                                    T hi = std::numeric_limits<T>::max()) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < lo || value > hi)
        throw UsageError(std::string(what) + " must be a whole number from " + std::to_string(lo) + " to " +
                         std::to_string(hi) + ", not '" + std::string(text) + "'");
    return value;
}

using Command = std::function<int(const std::vector<std::string>&)>;

// The main of a tool with subcommands: --help prints `usage`; a usage error exits 2 and any other failure
// 1, each with one line "TOOL: reason" on standard error.
inline int runTool(const char* tool, const char* usage, const std::map<std::string, Command>& commands, int argc,
                   char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::cout << usage;
        return args.empty() ? 2 : 0;
    }
    const std::string cmd = args[0];
    args.erase(args.begin());
    try {
        auto it = commands.find(cmd);
        if (it == commands.end())
            throw UsageError("unknown command '" + cmd + "' (try --help)");
        return it->second(args);
    } catch (const UsageError& e) {
        std::cerr << tool << ": " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << tool << ": " << e.what() << "\n";
        return 1;
    }
}

// Sends everything written to the standard output descriptor while it lives (the thread primitives'
// start-up lines, the LAS reader's messages) to `target`, or to /dev/null when it is -1, so that standard
// output holds only the tool's results. Descriptor-level, so worker threads printing meanwhile are safe.
class StdoutTo {
public:
    explicit StdoutTo(int target) {
        std::cout.flush();
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int fd = target >= 0 ? target : open("/dev/null", O_WRONLY);
        if (saved_ >= 0 && fd >= 0)
            dup2(fd, STDOUT_FILENO);
        if (target < 0 && fd >= 0)
            ::close(fd);
    }
    ~StdoutTo() {
        std::cout.flush();
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
        }
    }
    StdoutTo(const StdoutTo&) = delete;
    StdoutTo& operator=(const StdoutTo&) = delete;

private:
    int saved_ = -1;
};

