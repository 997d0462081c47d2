// The page for a person, served at / with its script, style sheet and icon.
// The files are in web/page/; the build makes them into
// page_assets.cpp, so that the program serves them from itself and needs
// nothing beside it.
#pragma once

#include <cstddef>

struct PageAsset {
    const char* path; // as requested: "/", "/app.js"
    const char* content_type;
    const char* body;
    std::size_t size;
};

extern const PageAsset page_assets[];
extern const int page_asset_count;
