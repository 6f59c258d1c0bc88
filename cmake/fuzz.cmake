# The fuzz build's flags (WATTKEEPER_FUZZ): every library instrumented for libFuzzer and built
# with AddressSanitizer and UndefinedBehaviorSanitizer. The targets themselves are in fuzz/.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "WATTKEEPER_FUZZ needs clang++ (the fuzz preset sets it)")
endif()
if(NOT WATTKEEPER_SANITIZE STREQUAL "")
  message(FATAL_ERROR "WATTKEEPER_FUZZ brings its own sanitizers: leave WATTKEEPER_SANITIZE empty")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
