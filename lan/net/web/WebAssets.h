// The page's files, compiled into the program from lan/web/ (see lan/CMakeLists.txt).
#pragma once

#include <string_view>

namespace web {
// The file's content; empty for a name that isn't one.
std::string_view Asset(std::string_view name);
} // namespace web
