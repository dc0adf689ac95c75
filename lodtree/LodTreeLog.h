#pragma once
// The tree stages print their messages on this stream: standard output unless redirected (the tool
// silences it and reports progress on standard error instead).
#include <ostream>

void setLodTreeLog(std::ostream* log); // nullptr: standard output
std::ostream& lodTreeLog();
