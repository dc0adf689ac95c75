#pragma once
// Runs a program as a user would and collects its exit status, standard output and standard error.
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
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

inline ProcessResult runProcess(const std::vector<std::string>& argv) {
    TempDir dir;
    std::string outPath = dir.file("out"), errPath = dir.file("err");
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    ProcessResult r;
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    auto slurp = [](const std::string& p) {
        auto b = readBytes(p);
        return std::string(b.begin(), b.end());
    };
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    return r;
}

// A failed run as a tool reports it: non-zero status and one line "TOOL: ..." holding `fragment`.
inline void expectOneErrorLine(const ProcessResult& r, const std::string& tool, const std::string& fragment) {
    EXPECT_NE(r.status, 0);
    auto lines = r.errLines();
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0].rfind(tool + ": ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(fragment), std::string::npos) << lines[0];
}
