# The programs: ORVA.exe (the Win32 window) on Windows, orva (the console program) on Linux.
# orva_app_system binds start-up and run control to the subsystems that do the work.
if(NOT (TARGET orva_record AND TARGET orva_reading))
    return()
endif()
set(orva_serial_link serial_link_none.cpp)
if(TARGET orva_serial AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/serial_link.cpp)
    set(orva_serial_link serial_link.cpp)
endif()
orva_library(orva_app_system
    SOURCES services.cpp ${orva_serial_link}
    PLATFORM services
    DEPS orva_app orva_record orva_reading)
if(orva_serial_link STREQUAL "serial_link.cpp")
    target_link_libraries(orva_app_system PUBLIC orva_serial)
endif()

if(WIN32)
    add_executable(ORVA WIN32 main_win.cpp window_win.cpp res/orva.rc)
    target_link_libraries(ORVA PRIVATE orva_app_system comctl32 gdi32 user32)
    orva_version_resource(ORVA "KVK / eGK: Versichertenkarten lesen und übergeben")
    install(TARGETS ORVA RUNTIME DESTINATION . LIBRARY DESTINATION .)
else()
    add_executable(orva main_posix.cpp)
    target_link_libraries(orva PRIVATE orva_app_system)
    install(TARGETS orva RUNTIME DESTINATION . LIBRARY DESTINATION .)
endif()
