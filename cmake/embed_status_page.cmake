# Makes the status page one C++ source at build time: puts status_page.css and status_page.js in
# place of their markers in status_page.html and writes the whole as the raw string that
# statusPage() returns. The page stays one self-contained document (its content security policy
# allows inline styles and scripts only), while its parts are edited as what they are.
#   cmake -DSOURCE_DIR=<src/http> -DOUTPUT=<file.cc> -P embed_status_page.cmake
file(READ "${SOURCE_DIR}/status_page.html" page)
file(READ "${SOURCE_DIR}/status_page.css" css)
file(READ "${SOURCE_DIR}/status_page.js" js)
foreach(part IN ITEMS "css;/* status_page.css */" "js;// status_page.js")
  list(GET part 0 name)
  list(GET part 1 marker)
  string(FIND "${page}" "${marker}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "status_page.html has no line '${marker}'")
  endif()
  string(REPLACE "${marker}\n" "${${name}}" page "${page}")
endforeach()
string(FIND "${page}" ")PAGE\"" end)
if(NOT end EQUAL -1)
  message(FATAL_ERROR "the status page holds ')PAGE\"', which would end its raw string")
endif()
set(source "// Made from src/http/status_page.html, .css and .js by cmake/embed_status_page.cmake;\n")
string(APPEND source "// edit those.\n#include \"http/status_page.h\"\n\nnamespace dirserver {\n\n")
string(APPEND source "std::string_view statusPage() {\n  static constexpr std::string_view kPage = R\"PAGE(")
string(APPEND source "${page})PAGE\";\n  return kPage;\n}\n\n}  // namespace dirserver\n")
file(WRITE "${OUTPUT}" "${source}")
