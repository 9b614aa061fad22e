# cmake -DSOURCE_DIR=web -DOUTPUT=web_assets.cpp -DFILES="index.html:/;app.js:/app.js;..." -P embed_web.cmake
# Writes the web remote's files as byte arrays, with the path each is served
# at and its Content-Type (from the file's extension).
set(types_html "text/html; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_webmanifest "application/manifest+json")
set(types_svg "image/svg+xml")
set(types_png "image/png")

set(arrays "")
set(table "")
set(n 0)
foreach(entry IN LISTS FILES)
  string(REPLACE ":" ";" parts "${entry}")
  list(GET parts 0 file)
  list(GET parts 1 url)
  get_filename_component(ext "${file}" LAST_EXT)
  string(SUBSTRING "${ext}" 1 -1 ext)
  set(type "${types_${ext}}")
  if(type STREQUAL "")
    message(FATAL_ERROR "embed_web: no Content-Type for ${file}")
  endif()
  file(READ "${SOURCE_DIR}/${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(APPEND arrays "const unsigned char file${n}[] = {${hex}};\n")
  string(APPEND table "    {\"${url}\", \"${type}\", text(file${n}, sizeof file${n})},\n")
  math(EXPR n "${n} + 1")
endforeach()

set(content "// Written by cmake/embed_web.cmake from web/: do not edit.
#include \"service/web_assets.h\"

namespace bm::service {
namespace {

${arrays}
std::string_view text(const unsigned char* bytes, std::size_t size)
{
    return {reinterpret_cast<const char*>(bytes), size};
}

} // namespace

const http::Asset* webAsset(std::string_view path)
{
    static const http::Asset assets[] = {
${table}    };
    for (const http::Asset& a : assets)
        if (a.path == path)
            return &a;
    return nullptr;
}

} // namespace bm::service
")
file(WRITE "${OUTPUT}.tmp" "${content}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
