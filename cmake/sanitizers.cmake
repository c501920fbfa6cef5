# Instrumented builds, clang only.
#   SKYLOOM_SANITIZE=address  AddressSanitizer + UndefinedBehaviorSanitizer, first report aborts
#   SKYLOOM_SANITIZE=thread   ThreadSanitizer
#   SKYLOOM_FUZZ=ON           libFuzzer coverage on every target; builds the targets in fuzz/
# Everything (libraries, the plugin, tests) is instrumented alike, so that a fault is reported
# on whichever side of the plugin boundary it happens.
set(SKYLOOM_SANITIZE "" CACHE STRING "Instrumented build: address (ASan+UBSan) or thread (TSan)")
set_property(CACHE SKYLOOM_SANITIZE PROPERTY STRINGS "" address thread)
option(SKYLOOM_FUZZ "Build the fuzz targets (clang, libFuzzer)" OFF)

if((SKYLOOM_SANITIZE OR SKYLOOM_FUZZ) AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SKYLOOM_SANITIZE and SKYLOOM_FUZZ need clang "
        "(configure with -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14)")
endif()

if(SKYLOOM_SANITIZE STREQUAL "address")
    set(SKYLOOM_SANITIZER_FLAGS
        -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(SKYLOOM_SANITIZE STREQUAL "thread")
    set(SKYLOOM_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(SKYLOOM_SANITIZE)
    message(FATAL_ERROR
        "SKYLOOM_SANITIZE must be empty, address or thread, not ${SKYLOOM_SANITIZE}")
endif()

if(SKYLOOM_FUZZ)
    # The fuzz targets themselves link libFuzzer with -fsanitize=fuzzer (fuzz/CMakeLists.txt).
    list(APPEND SKYLOOM_SANITIZER_FLAGS -fsanitize=fuzzer-no-link)
endif()

if(SKYLOOM_SANITIZER_FLAGS)
    # Line tables are all that a report's symbolised stack needs; full debug information costs
    # a sixth of the build (the last -g option given wins).
    add_compile_options(${SKYLOOM_SANITIZER_FLAGS} -gline-tables-only)
    add_link_options(${SKYLOOM_SANITIZER_FLAGS})
    # The sanitizer runtime is linked into the executable that loads the plugin, not into the
    # plugin, so the plugin's own check for unresolved symbols (-z defs) must give way. Passed
    # among the link libraries, which come after every link option, so that it wins.
    link_libraries("-Wl,-z,undefs")
endif()
