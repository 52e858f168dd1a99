# Warnings for our own targets only; TRAWL_WERROR turns them into errors (CI does).
option(TRAWL_WERROR "Treat warnings as errors" OFF)
add_library(trawl_warnings INTERFACE)
if(MSVC)
  target_compile_options(trawl_warnings INTERFACE /W4 /permissive- /utf-8
    $<$<BOOL:${TRAWL_WERROR}>:/WX>)
else()
  target_compile_options(trawl_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    $<$<BOOL:${TRAWL_WERROR}>:-Werror>)
endif()
