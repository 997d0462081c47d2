# Writes OUT, a C++ source defining page_assets[] (web/page_assets.h)
# from the files of the page, each as a raw string literal.
# Usage: cmake -DSOURCE_DIR=web/page -DOUT=page_assets.cpp -P embed.cmake
# path|file|content type (text types are sent as UTF-8)
set(assets
    "/|index.html|text/html"
    "/app.js|app.js|text/javascript"
    "/app.css|app.css|text/css"
    "/favicon.svg|favicon.svg|image/svg+xml")
set(delimiter "tolvaner_page")
set(code "// Made by web/page/embed.cmake from web/page/; do not edit.\n")
string(APPEND code "#include \"web/page_assets.h\"\n\n")
set(rows "")
set(index 0)
foreach(asset ${assets})
    string(REPLACE "|" ";" fields "${asset}")
    list(GET fields 0 path)
    list(GET fields 1 file)
    list(GET fields 2 type)
    if(type MATCHES "^text/")
        string(APPEND type "; charset=utf-8")
    endif()
    file(READ "${SOURCE_DIR}/${file}" content)
    string(FIND "${content}" ")${delimiter}\"" clash)
    if(NOT clash EQUAL -1)
        message(FATAL_ERROR "${file} holds the literal's end, )${delimiter}\"")
    endif()
    string(APPEND code "static const char asset_${index}[] = R\"${delimiter}(${content})${delimiter}\";\n")
    string(APPEND rows "    {\"${path}\", \"${type}\", asset_${index}, sizeof asset_${index} - 1},\n")
    math(EXPR index "${index} + 1")
endforeach()
string(APPEND code "\nextern const PageAsset page_assets[] = {\n${rows}};\n")
string(APPEND code "extern const int page_asset_count = ${index};\n")
file(WRITE "${OUT}" "${code}")
