# Run by CTest: fails when a source file of the given directories is not in
# the build's explicit source lists, so that a new test or benchmark is never
# silently left out.
#   -D ROOT=<source dir> -D PATTERNS=<globs relative to ROOT, comma-separated>
#   -D LISTED=<files relative to ROOT, comma-separated>
cmake_minimum_required(VERSION 3.20)
string(REPLACE "," ";" PATTERNS "${PATTERNS}")
string(REPLACE "," ";" LISTED "${LISTED}")
list(TRANSFORM PATTERNS PREPEND ${ROOT}/)
file(GLOB present RELATIVE ${ROOT} ${PATTERNS})
set(missing)
foreach(file ${present})
  if(NOT file IN_LIST LISTED)
    list(APPEND missing ${file})
  endif()
endforeach()
if(missing)
  list(JOIN missing " " missing)
  message(FATAL_ERROR "not in CMakeLists.txt, so never built: ${missing}")
endif()
