# cmake -DPAGE=page.html -DSTYLESHEET=Page.css -DOUTPUT=out.html -P InlineStylesheet.cmake
#
# Writes the page with its "<!-- Page.css -->" line replaced by a <style> element holding the
# stylesheet. The pages' Content-Security-Policy allows inline styles only, so the shared
# stylesheet goes into each page rather than beside it.
foreach(variable PAGE STYLESHEET OUTPUT)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "InlineStylesheet: ${variable} is not set")
    endif()
endforeach()
file(READ "${PAGE}" page)
file(READ "${STYLESHEET}" stylesheet)
cmake_path(GET STYLESHEET FILENAME name)
set(marker "<!-- ${name} -->")
string(FIND "${page}" "${marker}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "InlineStylesheet: ${PAGE} has no \"${marker}\" line")
endif()
string(REPLACE "${marker}" "<style>\n${stylesheet}</style>" page "${page}")
file(WRITE "${OUTPUT}.part" "${page}")
file(RENAME "${OUTPUT}.part" "${OUTPUT}")
