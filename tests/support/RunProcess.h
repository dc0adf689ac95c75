#pragma once
// Runs a program as a user would and collects its exit status, standard output and standard error.
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct ProcessResult {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
    std::vector<std::string> errLines() const {
        std::vector<std::string> lines;
        size_t at = 0;
        while (at < err.size()) {
            size_t nl = err.find('\n', at);
            lines.push_back(err.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
            at = nl == std::string::npos ? err.size() : nl + 1;
        }
        return lines;
    }
};

// A program running beside the test, its output going to files that can be read while it runs.
class Process {
public:
    explicit Process(const std::vector<std::string>& argv)
        : outPath_(dir_.file("out")), errPath_(dir_.file("err")) {
        pid_ = fork();
        if (pid_ == 0) {
            int o = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int e = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char*> args;
            for (auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            wait();
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // False once the program has ended (it is left to waitFor or wait to collect).
    bool running() const {
        siginfo_t info{};
        return pid_ > 0 && waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }
    std::string out() const { return slurp(outPath_); }
    std::string err() const { return slurp(errPath_); }
    // Waits up to `seconds` for `text` to appear on standard output (or error); false if it never does.
    bool waitForOutput(const std::string& text, double seconds, bool onStderr = false) const {
        for (int i = 0; i < int(seconds * 100); ++i) {
            if ((onStderr ? err() : out()).find(text) != std::string::npos)
                return true;
            usleep(10000);
        }
        return false;
    }
    // Waits up to `seconds` for the program to end; true, with its result, when it did.
    bool waitFor(double seconds, ProcessResult& r) {
        for (int i = 0; i < int(seconds * 100); ++i) {
            int st = 0;
            if (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                r.out = out();
                r.err = err();
                return true;
            }
            usleep(10000);
        }
        return false;
    }
    ProcessResult wait() {
        ProcessResult r;
        int st = 0;
        if (pid_ > 0)
            waitpid(pid_, &st, 0);
        pid_ = -1;
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        r.out = out();
        r.err = err();
        return r;
    }

private:
    static std::string slurp(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    TempDir dir_;
    std::string outPath_, errPath_;
    pid_t pid_ = -1;
};

inline ProcessResult runProcess(const std::vector<std::string>& argv) {
    return Process(argv).wait();
}

// A failed run as a tool reports it: non-zero status and one line "TOOL: ..." holding `fragment`.
inline void expectOneErrorLine(const ProcessResult& r, const std::string& tool, const std::string& fragment) {
    EXPECT_NE(r.status, 0);
    auto lines = r.errLines();
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0].rfind(tool + ": ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(fragment), std::string::npos) << lines[0];
}
