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

# A host of the shared library finds the DLL beside its executable on Windows: copy it there
# after each build of the target. Nothing elsewhere (the library is found through the rpath).
function(tovi_copy_library_beside target)
    if(TOVI_WINDOWS)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:ToviIPC>
                $<TARGET_FILE_DIR:${target}>)
    endif()
endfunction()

function(tovi_wine_test_properties name)
    if(TOVI_WINEPREFIX)
        set_tests_properties(${name} PROPERTIES
            FIXTURES_REQUIRED wine_prefix
            ENVIRONMENT "WINEPREFIX=${TOVI_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
    endif()
endfunction()
