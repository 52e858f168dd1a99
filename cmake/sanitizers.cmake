# TRAWL_SANITIZE="address;undefined" instruments every target of the tree.
set(TRAWL_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address;undefined")
if(TRAWL_SANITIZE)
  list(JOIN TRAWL_SANITIZE "," _trawl_sanitizers)
  add_compile_options(-fsanitize=${_trawl_sanitizers} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${_trawl_sanitizers})
endif()

# libFuzzer needs coverage feedback from the library code, not only from the targets.
if(TRAWL_LIBFUZZER)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
