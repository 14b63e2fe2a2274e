# Builds the browser page into one C++ source: the page, its script and style
# and the uPlot chart library, each compressed with `gzip -9n` (no name, no
# time: the same bytes on every build) into a byte array, with its path,
# content type, size and ETag. It runs at build time as a CMake script on the
# build machine, for every target system: the cross build cannot run a
# program it builds.
#
#   cmake -DPAGE_DIR=<src/server/ui> -DUPLOT_DIR=<the uplot package> -DVERSION=<x.y.z>
#         -DGZIP=<gzip> -DWORK_DIR=<folder for the files> -DOUTPUT=<the .cpp> -P embed_page.cmake

foreach(var PAGE_DIR UPLOT_DIR VERSION GZIP WORK_DIR OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_page.cmake needs -D${var}=")
  endif()
endforeach()
cmake_policy(SET CMP0007 NEW)
file(MAKE_DIRECTORY ${WORK_DIR})

# uPlot's licence (MIT) asks for its notice in every copy: it heads both of its files.
file(READ ${UPLOT_DIR}/LICENSE uplot_licence)
file(READ ${UPLOT_DIR}/package.json uplot_package)
string(JSON uplot_version GET "${uplot_package}" version)
string(STRIP "${uplot_licence}" uplot_licence)
set(notice "/*! uPlot ${uplot_version}, the chart library of karvo's browser page (https://github.com/leeoniya/uPlot).\n\n${uplot_licence}\n*/\n")
file(READ ${UPLOT_DIR}/dist/uPlot.iife.min.js uplot_js)
file(READ ${UPLOT_DIR}/dist/uPlot.min.css uplot_css)
file(WRITE ${WORK_DIR}/uPlot.iife.min.js "${notice}${uplot_js}")
file(WRITE ${WORK_DIR}/uPlot.min.css "${notice}${uplot_css}")

# The page's own script and style without their comments and indentation
# (whole-line comments only: no line of the script starts inside a string).
file(READ ${PAGE_DIR}/karvo.js script)
string(REGEX REPLACE "\n[ \t]*//[^\n]*" "" script "\n${script}")
string(REGEX REPLACE "\n[ \t]+" "\n" script "${script}")
string(REGEX REPLACE "^\n" "" script "${script}")
file(WRITE ${WORK_DIR}/karvo.js "${script}")
file(READ ${PAGE_DIR}/karvo.css style)
string(REGEX REPLACE "/\\*[^*]*\\*+([^/*][^*]*\\*+)*/" "" style "${style}")
string(REGEX REPLACE "\n[ \t]+" "\n" style "${style}")
string(REGEX REPLACE "\n\n+" "\n" style "${style}")
file(WRITE ${WORK_DIR}/karvo.css "${style}")

# The files below the page, by name and media type (all of them UTF-8 text).
set(files
  "karvo.js|${WORK_DIR}/karvo.js|text/javascript"
  "karvo.css|${WORK_DIR}/karvo.css|text/css"
  "uPlot.iife.min.js|${WORK_DIR}/uPlot.iife.min.js|text/javascript"
  "uPlot.min.css|${WORK_DIR}/uPlot.min.css|text/css")

# Their folder's name: the version and a hash of their bytes.
set(all "")
foreach(entry IN LISTS files)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 1 source)
  file(SHA256 ${source} hash)
  string(APPEND all "${hash}")
endforeach()
string(SHA256 folder_hash "${all}")
string(SUBSTRING "${folder_hash}" 0 10 folder_hash)
set(ASSET_DIR "ui/${VERSION}-${folder_hash}")  # relative to the page's own address, /ui
configure_file(${PAGE_DIR}/index.html ${WORK_DIR}/index.html @ONLY)
list(PREPEND files "index.html|${WORK_DIR}/index.html|text/html")

set(arrays "")
set(table "")
set(n 0)
foreach(entry IN LISTS files)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 source)
  list(GET parts 2 type)
  if(name STREQUAL "index.html")
    set(path "/ui")
  else()
    set(path "/${ASSET_DIR}/${name}")
  endif()
  get_filename_component(base ${source} NAME)
  set(packed ${WORK_DIR}/${base}.gz)
  execute_process(COMMAND ${GZIP} -9n -c ${source} OUTPUT_FILE ${packed} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip -9n ${source} failed: ${failed}")
  endif()
  file(SIZE ${source} size)
  file(SHA256 ${source} hash)
  string(SUBSTRING "${hash}" 0 16 etag)
  file(READ ${packed} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR packed_size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # 24 bytes a line.
  string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
  string(APPEND arrays "// ${path} (${size} bytes)\nconst unsigned char file${n}[] = {\n${bytes}\n};\n")
  string(APPEND table "    {\"${path}\", \"${type}; charset=utf-8\", R\"(\"${etag}\")\", file${n}, ${packed_size}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()

file(WRITE ${OUTPUT}.new
"// Generated at build time by cmake/embed_page.cmake from src/server/ui and uPlot ${uplot_version}.
#include \"server/page.h\"

namespace karvo::server {
namespace {

${arrays}
const PageAsset kAssets[] = {
${table}};

}  // namespace

std::span<const PageAsset> page_assets() { return kAssets; }

}  // namespace karvo::server
")
# Only a changed source is compiled again.
configure_file(${OUTPUT}.new ${OUTPUT} COPYONLY)
file(REMOVE ${OUTPUT}.new)
