// The web remote's files (web/), compiled into the program by CMake
// (cmake/embed_web.cmake writes web_assets.cpp at build time).
#pragma once

#include "service/http_site.h"

#include <string_view>

namespace bm::service {

// The file served at `path` ("/" is index.html); null when there is none.
const http::Asset* webAsset(std::string_view path);

} // namespace bm::service
