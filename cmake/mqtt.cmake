# Publishing to an MQTT broker (--mqtt) needs libmosquitto. The programs build
# without it, with the option left out; TOLVANER_HAVE_MQTT tells the code.
# -DCMAKE_DISABLE_FIND_PACKAGE_Mosquitto=ON builds without it on purpose.
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_FIND_ROOT_PATH AND NOT CMAKE_SYSROOT)
    # No root of the target's own to look in: the host's library would not do.
    set(CMAKE_DISABLE_FIND_PACKAGE_Mosquitto ON)
endif()
find_package(Mosquitto QUIET)
if(Mosquitto_FOUND)
    find_package(Threads REQUIRED)
    add_library(tolvaner_mqtt STATIC mqtt/mqtt_options.cpp mqtt/mqtt_publisher.cpp)
    target_link_libraries(tolvaner_mqtt PUBLIC tolvaner_core Mosquitto::Mosquitto Threads::Threads)
    target_compile_definitions(tolvaner_mqtt PUBLIC TOLVANER_HAVE_MQTT)
else()
    message(STATUS "libmosquitto not found (Debian package libmosquitto-dev): --mqtt left out")
endif()
