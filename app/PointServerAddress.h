#pragma once
// Where the point server answers: the port it listens on unless told otherwise and the path its protocol
// lies under. The server and the viewer's client both take them from here.
#include <string_view>

inline constexpr std::string_view kServerBasePath = "/Varnel/resources/Server/";
inline constexpr int kDefaultServerPort = 10488;
