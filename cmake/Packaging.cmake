# The package of one platform (CPack, made by scripts/package): one flat folder with the program,
# GZIP, the reference client (Windows), the simulated terminal, the CT-API library over PC/SC,
# the guides and the licence texts of what the binaries contain. The programs install
# themselves (install(TARGETS ...) beside each target); this file adds the rest. Sanitizer
# builds make no package.
if(ORVA_SANITIZE OR ORVA_TSAN)
    return()
endif()

# zlib is in GZIP and the simulated terminal; the Windows files also carry the mingw-w64 runtime,
# winpthreads and the GCC runtime libraries, all linked statically.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/LICENSE.zlib.txt DESTINATION .)
if(WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/LICENSE.mingw-w64-runtime.txt
                  ${PROJECT_SOURCE_DIR}/packaging/LICENSE.gcc-runtime-exception.txt
            DESTINATION .)
endif()

# The guides for the practice and for integrators, with their pictures.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION .
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")

set(ORVA_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
if(WIN32)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
        set(platform win64)
    else()
        set(platform win32)
    endif()
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME ORVA-${ORVA_PACKAGE_VERSION}-${platform})
else()
    set(CPACK_GENERATOR TGZ)
    set(CPACK_PACKAGE_FILE_NAME
        orva-${ORVA_PACKAGE_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
    string(TOLOWER ${CPACK_PACKAGE_FILE_NAME} CPACK_PACKAGE_FILE_NAME)
endif()
set(CPACK_PACKAGE_NAME ORVA)
set(CPACK_PACKAGE_VERSION ${ORVA_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "the ORVA developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Reads KVK and eGK cards and hands the data to the practice program")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
