# What `cmake --install` puts where, and the packages CPack makes of it: a .deb
# on Linux, a .zip with tolvaner.exe from the Windows cross-build.
include(GNUInstallDirs)

set(TOLVANER_PACKAGE_MAINTAINER "tolvaner maintainers <maintainers@tolvaner.invalid>"
    CACHE STRING "Maintainer named in the packages")

if(WIN32)
    # Windows users unpack a zip and run what they find at its top; there is
    # no bin/ or share/ convention to follow there.
    set(tolvaner_bin_dir .)
    set(tolvaner_doc_dir .)
else()
    set(tolvaner_bin_dir ${CMAKE_INSTALL_BINDIR})
    set(tolvaner_doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()

install(TARGETS tolvaner RUNTIME DESTINATION ${tolvaner_bin_dir})
if(TARGET tolvaner-sim)
    install(TARGETS tolvaner-sim RUNTIME DESTINATION ${tolvaner_bin_dir})
endif()
# The documents keep the source tree's layout, so that the README's links to
# docs/ hold where it is installed as well as in the repository.
install(FILES README.md DESTINATION ${tolvaner_doc_dir})
install(FILES docs/protocol.md DESTINATION ${tolvaner_doc_dir}/docs)
if(NOT WIN32)
    # Where bash-completion loads it from the first time `tolvaner` is completed.
    install(FILES completion/tolvaner.bash RENAME tolvaner
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()
# The service unit of --serve, a template to be started per meter; installed,
# never enabled. systemd looks for units under lib/systemd/system of /usr and
# of /usr/local alike. It names the program where it is installed, which is
# known only then (the package installs into /usr, cmake --install into its
# prefix), so it is made then.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    install(CODE "
        set(TOLVANER_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/tolvaner-serve@.service\")
        message(STATUS \"Installing: \${unit}\")
        configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/packaging/tolvaner-serve@.service.in\"
                       \"\${unit}\" @ONLY)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")")
endif()
# A stripped install (the packages) also loses the compilers' version strings,
# which strip keeps and nothing at run time reads.
if(NOT WIN32 AND NOT APPLE AND CMAKE_OBJCOPY)
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            foreach(program tolvaner tolvaner-sim)
                set(file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${tolvaner_bin_dir}/\${program}\")
                if(EXISTS \"\${file}\")
                    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                                            \"\${file}\" COMMAND_ERROR_IS_FATAL ANY)
                endif()
            endforeach()
        endif()")
endif()

# The licence and the changelog. Debian wants the licence as doc/<package>/
# copyright in its machine-readable format and the changelog of a package
# without a Debian revision as changelog.gz; both are made from the files at
# the top of the source tree, so there is one text of each.
if(WIN32)
    install(FILES LICENSE CHANGELOG.md DESTINATION ${tolvaner_doc_dir})
else()
    file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE license_text)
    # The grant after the copyright line, as a field's continuation lines:
    # each indented by one blank, an empty line written as " .".
    string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" license_body "${license_text}")
    string(REGEX REPLACE "\n+$" "" license_body "${license_body}")
    string(REPLACE "\n\n" "\n.\n" license_body "${license_body}")
    string(REPLACE "\n" "\n " license_body "${license_body}")
    string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright_line "${license_text}")
    set(copyright_holder "${CMAKE_MATCH_1}")
    set(copyright_file ${CMAKE_CURRENT_BINARY_DIR}/copyright)
    file(WRITE ${copyright_file}
         "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
         "Upstream-Name: tolvaner\n"
         "\n"
         "Files: *\n"
         "Copyright: ${copyright_holder}\n"
         "License: Expat\n"
         " ${license_body}\n")
    install(FILES ${copyright_file} DESTINATION ${tolvaner_doc_dir})

    # In Debian's changelog format, which its tools read.
    set(changelog_built ${CMAKE_CURRENT_BINARY_DIR}/changelog)
    add_custom_command(
        OUTPUT ${changelog_built}.gz
        COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md
                -DOUT=${changelog_built} -DPACKAGE=tolvaner
                "-DMAINTAINER=${TOLVANER_PACKAGE_MAINTAINER}"
                -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian_changelog.cmake
        COMMAND gzip -9nf ${changelog_built}
        DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md
                ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian_changelog.cmake
        VERBATIM)
    add_custom_target(changelog ALL DEPENDS ${changelog_built}.gz)
    install(FILES ${changelog_built}.gz DESTINATION ${tolvaner_doc_dir})
endif()

# The manual pages carry the version; installed pages are compressed, as man
# expects them on Debian. gzip -n keeps the package reproducible.
find_program(TOLVANER_GROFF groff)
set(man_outputs)
foreach(page tolvaner tolvaner-sim)
    set(page_source ${CMAKE_CURRENT_SOURCE_DIR}/man/${page}.1.in)
    set(page_built ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1)
    configure_file(${page_source} ${page_built} @ONLY)
    if(WIN32)
        continue()
    endif()
    add_custom_command(
        OUTPUT ${page_built}.gz
        COMMAND gzip -9nkf ${page_built}
        DEPENDS ${page_built}
        VERBATIM)
    list(APPEND man_outputs ${page_built}.gz)
    install(FILES ${page_built}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

if(WIN32 AND TOLVANER_GROFF)
    # No man on Windows: ship the program's manual as plain text beside it.
    set(manual_text ${CMAKE_CURRENT_BINARY_DIR}/man/tolvaner.txt)
    add_custom_command(
        OUTPUT ${manual_text}
        COMMAND ${TOLVANER_GROFF} -man -Tascii -P-c -P-b -P-u -P-o
                ${CMAKE_CURRENT_BINARY_DIR}/man/tolvaner.1 > ${manual_text}
        DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/man/tolvaner.1)
    list(APPEND man_outputs ${manual_text})
    install(FILES ${manual_text} DESTINATION ${tolvaner_doc_dir})
endif()
add_custom_target(manual_pages ALL DEPENDS ${man_outputs})

set(CPACK_PACKAGE_NAME tolvaner)
set(CPACK_PACKAGE_VENDOR "tolvaner maintainers")
set(CPACK_PACKAGE_CONTACT "${TOLVANER_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "configure and query a metering device on a serial port")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME tolvaner-${PROJECT_VERSION}-win64)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TOLVANER_PACKAGE_MAINTAINER}")
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # dpkg-shlibdeps works out the library versions the binaries need:
    # libmosquitto1 where tolvaner is built with MQTT publishing.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    # Installed into the staging folder by DESTDIR, with the prefix /usr as
    # it will be: what is made at install time names the installed paths.
    set(CPACK_SET_DESTDIR ON)
    set(CPACK_INSTALL_PREFIX /usr)
    # The summary comes first by itself; this is the long description.
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "tolvaner is a console program that sets a metering device's pulse value,
full scale, output mode and averaging interval over a serial line, sends its
set-defaults and test-mode commands, and reads back its product ID, code
revision level, settings and live values. It reads one-letter commands from
standard input, so it can be used interactively or from scripts.
.
tolvaner-sim plays the device on a pseudo-terminal, so that tolvaner can be
tried and tested without hardware.")
endif()

set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/")
include(CPack)
