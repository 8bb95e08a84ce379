# Shared build settings: warnings, sanitizers, static Windows linking, test registration.

if(WIN32)
    set(ORVA_PLATFORM_SUFFIX win)
    # One flat folder of programs that need no DLLs beyond the system's.
    add_link_options(-static -static-libgcc -static-libstdc++)
    add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
else()
    set(ORVA_PLATFORM_SUFFIX posix)
endif()

add_compile_options(-Wall -Wextra -Werror)

if(ORVA_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
# Fuzzing: every library carries the fuzzer's coverage hooks and both sanitizers; only the fuzz
# targets link libFuzzer's main (fuzz/CMakeLists.txt).
if(ORVA_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
if(ORVA_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

# The core libraries also build with -Wconversion.
function(orva_core_warnings target)
    target_compile_options(${target} PRIVATE -Wconversion -Wsign-conversion -Wshadow)
endfunction()

# A portable library of one src/ folder: its sources plus the platform half of each name in
# PLATFORM (Name_win.cpp or Name_posix.cpp).
function(orva_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;PLATFORM;DEPS" ${ARGN})
    set(srcs ${ARG_SOURCES})
    foreach(half ${ARG_PLATFORM})
        list(APPEND srcs ${half}_${ORVA_PLATFORM_SUFFIX}.cpp)
    endforeach()
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_compile_features(${name} PUBLIC cxx_std_20)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    orva_core_warnings(${name})
endfunction()

# A CT-API library: undecorated __stdcall exports on 32-bit Windows, no "lib" prefix anywhere.
function(orva_ctapi_library name)
    add_library(${name} SHARED ${ARGN})
    set_target_properties(${name} PROPERTIES PREFIX "")
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    if(WIN32)
        target_link_options(${name} PRIVATE -Wl,--kill-at)
    endif()
endfunction()

# Registers one GoogleTest executable. Under Wine each process start costs about a second, so a
# Windows test executable is one CTest test; natively each case is its own CTest test.
function(orva_add_gtest target)
    cmake_parse_arguments(ARG "" "" "LABELS" ${ARGN})
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME ${target} COMMAND ${target} --gtest_brief=1 WORKING_DIRECTORY ${ORVA_BIN_DIR})
        set_tests_properties(${target} PROPERTIES LABELS "wine;${ARG_LABELS}")
    else()
        include(GoogleTest)
        gtest_discover_tests(${target} WORKING_DIRECTORY ${ORVA_BIN_DIR}
                             DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${ARG_LABELS}")
    endif()
endfunction()
