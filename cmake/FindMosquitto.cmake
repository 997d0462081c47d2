# libmosquitto, the MQTT client library (Debian package libmosquitto-dev).
# Found by its header and library, so that a cross-build looks only in its own
# root. Defines Mosquitto_FOUND and the target Mosquitto::Mosquitto.
find_path(Mosquitto_INCLUDE_DIR mosquitto.h)
find_library(Mosquitto_LIBRARY NAMES mosquitto)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Mosquitto REQUIRED_VARS Mosquitto_LIBRARY Mosquitto_INCLUDE_DIR
                                  NAME_MISMATCHED)
mark_as_advanced(Mosquitto_INCLUDE_DIR Mosquitto_LIBRARY)
if(Mosquitto_FOUND AND NOT TARGET Mosquitto::Mosquitto)
    add_library(Mosquitto::Mosquitto UNKNOWN IMPORTED)
    set_target_properties(Mosquitto::Mosquitto PROPERTIES
        IMPORTED_LOCATION ${Mosquitto_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${Mosquitto_INCLUDE_DIR})
endif()
