# Shared build settings: warnings, sanitizers, static Windows linking, and the
# karvo_library() helper that turns one source folder into one static library.

add_library(karvo_options INTERFACE)
target_compile_options(karvo_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
  # Records are filled by aggregate initialisation of their leading fields;
  # every member has a default, so the fields left out are well defined.
  -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 reports false -Wrestrict positives inside std::string at -O2 (GCC bug 105329).
  target_compile_options(karvo_options INTERFACE -Wno-restrict)
endif()
if(KARVO_WERROR)
  target_compile_options(karvo_options INTERFACE -Werror)
endif()
if(KARVO_SANITIZE)
  target_compile_options(karvo_options INTERFACE -fsanitize=${KARVO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(karvo_options INTERFACE -fsanitize=${KARVO_SANITIZE})
endif()
if(NOT WIN32)
  # Each function and object in a section of its own, so the linker drops what
  # the executable never calls (both passes and every source are compiled in).
  # The PE linker gains nothing from it, so the Windows build goes without.
  target_compile_options(karvo_options INTERFACE -ffunction-sections -fdata-sections)
  target_link_options(karvo_options INTERFACE -Wl,--gc-sections)
endif()
if(WIN32)
  # One self-contained executable: no libstdc++/libgcc/winpthread DLLs next to it.
  target_compile_definitions(karvo_options INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
  target_link_options(karvo_options INTERFACE -static -static-libgcc -static-libstdc++)
  set(KARVO_OS_DIR win32)
else()
  set(KARVO_OS_DIR posix)
endif()

# karvo_library(<name> DIRS <dir>... [DEPS <target>...])
# Every *.cpp directly inside the folders becomes part of the library.
function(karvo_library name)
  cmake_parse_arguments(A "" "" "DIRS;DEPS" ${ARGN})
  set(sources)
  foreach(dir IN LISTS A_DIRS)
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC karvo_options ${A_DEPS})
  else()
    # A folder with headers only (or not written yet).
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE karvo_options ${A_DEPS})
  endif()
endfunction()
