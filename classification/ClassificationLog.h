#pragma once
// Where the classification prints its diagnostics: standard output unless redirected; null silences it.
// Worker threads print too, so every message goes out whole under one lock.
#include <ostream>
#include <sstream>
#include <string_view>

void setClassificationLog(std::ostream* log);
void classificationLog(std::string_view text);

// Collects one message and hands it to classificationLog when it goes out of scope. Numbers are
// written in the classic locale, whatever the program's global locale is.
class LogLine {
public:
    LogLine() { text_.imbue(std::locale::classic()); }
    ~LogLine() { classificationLog(text_.str()); }
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;
    template <typename T> LogLine& operator<<(const T& v) {
        text_ << v;
        return *this;
    }

private:
    std::ostringstream text_;
};
