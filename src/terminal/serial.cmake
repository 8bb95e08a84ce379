# The serial transport: the port class and the block protocol. A library of its own; it hands
# the card data it collects to a callback, so it needs nothing of delivery.
orva_library(orva_serial
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/serial_port.cpp ${CMAKE_CURRENT_LIST_DIR}/block_machine.cpp
            ${CMAKE_CURRENT_LIST_DIR}/block_protocol.cpp
    PLATFORM ${CMAKE_CURRENT_LIST_DIR}/serial_port
    DEPS orva_terminal)
