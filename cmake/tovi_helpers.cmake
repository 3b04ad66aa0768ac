# Warnings and sanitizer flags live on interface targets, not in global flags.
add_library(tovi_warnings INTERFACE)
if(MSVC)
    target_compile_options(tovi_warnings INTERFACE /W4 /permissive-)
else()
    target_compile_options(tovi_warnings INTERFACE -Wall -Wextra -Wno-unused-parameter)
endif()

add_library(tovi_sanitize INTERFACE)
if(TOVI_SANITIZE STREQUAL "address")
    set(tovi_san_flags -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(TOVI_SANITIZE STREQUAL "thread")
    set(tovi_san_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT TOVI_SANITIZE STREQUAL "")
    message(FATAL_ERROR "TOVI_SANITIZE must be empty, address or thread")
endif()
if(tovi_san_flags)
    # Applied to every target, GoogleTest included, so that instrumented and plain code never mix.
    add_compile_options(${tovi_san_flags})
    add_link_options(${tovi_san_flags})
    add_compile_definitions(TOVI_SANITIZED_BUILD)
endif()

# Fuzz build: every target compiled with coverage for libFuzzer and with ASan and UBSan, so
# that a fault anywhere in the code under test is a finding; tests/fuzz links the driver.
if(TOVI_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "TOVI_FUZZ needs clang (libFuzzer)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

# Hardening of what ships, as Debian builds its packages: fortified C library calls, stack
# protection, and relocations resolved at load time and then read-only. Optimized ELF builds
# only (_FORTIFY_SOURCE needs optimization); the sanitizer and fuzz builds bring their own
# checks.
if(NOT WIN32 AND TOVI_SANITIZE STREQUAL "" AND NOT TOVI_FUZZ)
    set(tovi_optimized "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
    add_compile_options("$<${tovi_optimized}:-U_FORTIFY_SOURCE>"
        "$<${tovi_optimized}:-D_FORTIFY_SOURCE=2>" "$<${tovi_optimized}:-fstack-protector-strong>")
    add_link_options("$<${tovi_optimized}:-Wl,-z,relro,-z,now>")
endif()

set(TOVI_WINDOWS OFF)
if(WIN32)
    set(TOVI_WINDOWS ON)
endif()

# Under Wine every test needs a booted prefix; one fixture boots it once per test run.
if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(TOVI_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
endif()

# tovi_add_test(NAME LABEL SOURCES... [LIBS ...] [TIMEOUT s])
# One executable per subsystem, one CTest entry each.
function(tovi_add_test name)
    cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} tovi_test_support GTest::gtest tovi_warnings)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 600)
    endif()
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT})
    tovi_wine_test_properties(${name})
endfunction()

# A host of the shared libraries finds each DLL beside its executable on Windows: copy them
# there after each build of the target (ToviIPC unless others are named). Nothing elsewhere
# (the libraries are found through the rpath).
#   tovi_copy_library_beside(TARGET [LIBRARY...])
function(tovi_copy_library_beside target)
    set(libraries ${ARGN})
    if(NOT libraries)
        set(libraries ToviIPC)
    endif()
    if(TOVI_WINDOWS)
        foreach(library ${libraries})
            add_custom_command(TARGET ${target} POST_BUILD
                COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${library}>
                    $<TARGET_FILE_DIR:${target}>)
        endforeach()
    endif()
endfunction()

function(tovi_wine_test_properties name)
    if(TOVI_WINEPREFIX)
        set_tests_properties(${name} PROPERTIES
            FIXTURES_REQUIRED wine_prefix
            ENVIRONMENT "WINEPREFIX=${TOVI_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
    endif()
endfunction()

# tovi_add_exports_check(NAME LIBRARY_TARGET FUNCTION...): a test that the library exports
# exactly these functions (on Windows with ordinals 1, 2, ... in this order).
function(tovi_add_exports_check name library)
    string(REPLACE ";" "," expected "${ARGN}")
    if(TOVI_WINDOWS)
        find_program(TOVI_OBJDUMP NAMES ${TOVI_MINGW_PREFIX}-objdump objdump)
        set(tool ${TOVI_OBJDUMP})
    else()
        find_program(TOVI_NM nm)
        set(tool ${TOVI_NM})
    endif()
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:${library}>
        -DTOOL=${tool} -DWINDOWS=${TOVI_WINDOWS} -DEXPECTED=${expected}
        -P ${PROJECT_SOURCE_DIR}/cmake/check_exports.cmake)
    set_tests_properties(${name} PROPERTIES LABELS e2e)
endfunction()
