// The dashboard's pages, scripts and style sheet (src/station/web), built into the program at
// build time: the station serves them from memory and needs no files at run time.
#pragma once

#include <span>
#include <string_view>

namespace ovik::station {

struct WebAsset {
    std::string_view name;  // file name, "index.html"
    std::string_view type;  // Content-Type
    std::string_view body;
};

std::span<const WebAsset> web_assets();

// The asset of that file name; nullptr when there is none.
const WebAsset* find_web_asset(std::string_view name);

}  // namespace ovik::station
