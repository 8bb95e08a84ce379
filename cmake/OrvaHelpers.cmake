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

# The Windows version resource of a program or library: FileVersion and ProductVersion
# 1.27.0.0, the product name, DESCRIPTION, the file's own name and the copyright line.
function(orva_version_resource target description)
    if(NOT WIN32)
        return()
    endif()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
        set(ORVA_RC_FILETYPE VFT_APP)
    else()
        set(ORVA_RC_FILETYPE VFT_DLL)
    endif()
    get_target_property(prefix ${target} PREFIX)
    if(NOT prefix)
        set(prefix "")
    endif()
    set(ORVA_RC_VERSION ${PROJECT_VERSION})
    string(REPLACE "." "," ORVA_RC_VERSION_COMMAS ${PROJECT_VERSION})
    set(ORVA_RC_DESCRIPTION ${description})
    set(ORVA_RC_INTERNAL_NAME ${target})
    if(type STREQUAL "EXECUTABLE")
        set(ORVA_RC_FILENAME ${target}${CMAKE_EXECUTABLE_SUFFIX})
    else()
        set(ORVA_RC_FILENAME ${prefix}${target}${CMAKE_SHARED_LIBRARY_SUFFIX})
    endif()
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()

# A CT-API library: undecorated __stdcall exports on 32-bit Windows, no "lib" prefix anywhere.
# DESCRIPTION goes into the version resource.
function(orva_ctapi_library name)
    cmake_parse_arguments(ARG "" "DESCRIPTION" "" ${ARGN})
    add_library(${name} SHARED ${ARG_UNPARSED_ARGUMENTS})
    set_target_properties(${name} PROPERTIES PREFIX "")
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    if(WIN32)
        target_link_options(${name} PRIVATE -Wl,--kill-at)
    endif()
    if(NOT ARG_DESCRIPTION)
        set(ARG_DESCRIPTION "CT-API-Bibliothek ${name}")
    endif()
    orva_version_resource(${name} "${ARG_DESCRIPTION}")
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
