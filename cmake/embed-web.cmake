# Turns the page's files into a header of byte arrays, so the binary serves
# them itself: cmake -DOUT=header -DFILES="a;b" -P embed-web.cmake
# The first file is the page every page path answers with.
set(body "")
set(table "")
set(n 0)
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  else()
    message(FATAL_ERROR "no content type for ${name}")
  endif()
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
  string(APPEND body "inline constexpr unsigned char kFile${n}[] = {\n${bytes}};\n")
  string(APPEND table "    {\"/${name}\", \"${type}\", kFile${n}, sizeof kFile${n}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUT}.new "// Generated from web/ by cmake/embed-web.cmake.
#pragma once
#include <cstddef>
namespace zavro::web {
struct Asset {
  const char* path;
  const char* type;
  const unsigned char* data;
  std::size_t size;
};
${body}inline constexpr Asset kAssets[] = {
${table}};
}  // namespace zavro::web
")
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.new)
