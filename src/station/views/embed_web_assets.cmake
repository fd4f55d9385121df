# Writes OUTPUT, a C++ source that defines web_assets() (station/views/web_assets.h) with every
# .html, .js and .css file of SOURCE_DIR as bytes. Run with cmake -P at build time.
file(GLOB files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.html ${SOURCE_DIR}/*.js ${SOURCE_DIR}/*.css)
list(SORT files)

set(arrays "")
set(entries "")
set(index 0)
foreach(name IN LISTS files)
  file(READ ${SOURCE_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Sixteen bytes a line keeps the generated file readable in a diff tool.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  else()
    set(type "text/css; charset=utf-8")
  endif()
  # The trailing zero keeps an empty file's array legal; it is not part of the body.
  string(APPEND arrays "constexpr unsigned char asset_${index}[] = {\n    ${bytes}0};\n")
  string(APPEND entries
    "        {\"${name}\", \"${type}\", {reinterpret_cast<const char*>(asset_${index}), ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()

set(text "// Generated at build time from src/station/views/web by embed_web_assets.cmake.
#include \"station/views/web_assets.h\"

namespace ovik::station {
namespace {

${arrays}
}  // namespace

std::span<const WebAsset> web_assets() {
    static const WebAsset assets[] = {
${entries}    };
    return assets;
}

const WebAsset* find_web_asset(std::string_view name) {
    for (const WebAsset& asset : web_assets()) {
        if (asset.name == name) return &asset;
    }
    return nullptr;
}

}  // namespace ovik::station
")
# Written only when it changed, so an unchanged page costs no rebuild.
set(previous "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} previous)
endif()
if(NOT previous STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
