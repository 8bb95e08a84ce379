# The serial transport: the port class and the block protocol. A library of its own, so that
# the CT-API side of the terminal library does not depend on delivery.
orva_library(orva_serial
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/serial_port.cpp ${CMAKE_CURRENT_LIST_DIR}/block_machine.cpp
            ${CMAKE_CURRENT_LIST_DIR}/block_protocol.cpp
    PLATFORM ${CMAKE_CURRENT_LIST_DIR}/serial_port
    DEPS orva_terminal orva_record)
