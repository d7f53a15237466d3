# Debian packages, one per install component: `cpack -G DEB` in the build
# folder (scripts/package-test does it), which writes them, and its staging
# folder, into ORVIK_PACKAGE_DIR beside the build folder (or `cpack -B DIR`).
# Versions come from the project's version; library dependencies from
# dpkg-shlibdeps; the maintainer scripts are written from the lists in
# deploy/CMakeLists.txt and debhelper's own snippets; the manual pages and the
# changelogs are made by the build (target package_files).

set(ORVIK_PACKAGES cabinet readers)
if(TARGET Orvik_user_local)
    list(INSERT ORVIK_PACKAGES 1 terminal)
endif()
set(ORVIK_PACKAGE_cabinet orvik-cabinet)
set(ORVIK_PACKAGE_terminal orvik-terminal)
set(ORVIK_PACKAGE_readers orvik-readers)
set(ORVIK_SUMMARY_cabinet "dosimeter store: rack controller")
set(ORVIK_SUMMARY_terminal "dosimeter store: user terminal")
set(ORVIK_SUMMARY_readers "dosimeter store: card reader and barcode scanner programs")
# Extended descriptions, one list item per line of at most 79 characters.
set(ORVIK_DESCRIPTION_cabinet
    "The controller of a cassette rack of personal dosimeters. It serves one JSON"
    "command per TCP request, issues, reads out and resets the dosimeters over"
    "their USB serial lines and keeps the rack's state in small text files. It"
    "runs as the service cabinet_server under the account orvik-cabinet. The"
    "operator console cabinet_console (HTTP or HTTPS) runs beside it under the"
    "account orvik-console. Every served command is recorded in a dose journal"
    "(SQLite, optionally copied to the site's PostgreSQL) that dose_report reads.")
set(ORVIK_DESCRIPTION_terminal
    "A full-screen Qt program where a worker logs in with a personnel code, card"
    "or barcode and is shown the cell of the dosimeter store that holds their"
    "dosimeter, checked against the store's PostgreSQL database.")
set(ORVIK_DESCRIPTION_readers
    "Two small services that read a proximity-card reader and a barcode scanner"
    "on serial lines and write each code read, as hexadecimal text, into a file"
    "in /tmp/Orvik_gamma for the user terminal.")
# Qt's SQL drivers are plugins, loaded at run time: SQLite for the journal
# (the controller writes it, dose_report and the console read it), PostgreSQL
# for the copy to the site's database and dose_report --pg.
string(TOLOWER "lib${QT}sql${QT_MAJOR}" qt_sql)
set(ORVIK_DEPENDS_cabinet "adduser, ${qt_sql}-sqlite, ${qt_sql}-psql")
# The console serves Debian's chart.js from /usr/share/javascript.
if(TARGET cabinet_console)
    string(APPEND ORVIK_DEPENDS_cabinet ", libjs-chart.js")
endif()
set(ORVIK_DEPENDS_terminal "${qt_sql}-psql")
# A kiosk session: X without a window manager (README, "The terminal as installed").
set(CPACK_DEBIAN_TERMINAL_PACKAGE_SUGGESTS "xinit, xserver-xorg")
set(ORVIK_DEPENDS_readers "adduser")

set(ORVIK_PACKAGE_DIR "${CMAKE_BINARY_DIR}-deb" CACHE PATH
    "Where cpack writes the packages and its staging folder (not into the build folder it packages)")
set(CPACK_PACKAGE_DIRECTORY "${ORVIK_PACKAGE_DIR}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvik)
set(CPACK_PACKAGE_VENDOR "Orvik dosimeter store")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orvik dosimeter store maintainers <maintainers@orvik.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# The settings file and the unit folder are absolute paths: stage them too.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${ORVIK_PACKAGES})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE AND CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()

set(deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
# The units name the programs under the configured prefix: the packages hold
# them under /usr, so cpack refuses a build configured for another prefix.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/cpack-checks.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
"if(NOT \"${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
    message(FATAL_ERROR \"The packages' units must name /usr/bin: configure the build with -DCMAKE_INSTALL_PREFIX=/usr (it is ${CMAKE_INSTALL_PREFIX})\")
endif()
")
set(autoscripts /usr/share/debhelper/autoscripts)
if(NOT EXISTS ${autoscripts}/postinst-systemd-enable)
    message(STATUS "debhelper is not installed: the packages get no unit registration (scripts/setup installs it)")
endif()

# The text of one debhelper snippet with its placeholders filled in.
function(debhelper_snippet out name)
    set(text "")
    if(EXISTS ${autoscripts}/${name})
        file(READ ${autoscripts}/${name} text)
        set(pairs ${ARGN})
        while(pairs)
            list(POP_FRONT pairs key value)
            string(REPLACE "#${key}#" "${value}" text "${text}")
        endwhile()
        set(text "# Automatically added by dh_installsystemd-style snippet ${name}\n${text}# End automatically added section\n")
    endif()
    set(${out} "${${out}}${text}" PARENT_SCOPE)
endfunction()

foreach(component ${ORVIK_PACKAGES})
    string(TOUPPER ${component} C)
    set(package ${ORVIK_PACKAGE_${component}})
    set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${package})
    set(CPACK_DEBIAN_${C}_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_${C}_PACKAGE_DEPENDS "${ORVIK_DEPENDS_${component}}")
    list(JOIN ORVIK_DESCRIPTION_${component} "\n" description)
    set(CPACK_DEBIAN_${C}_DESCRIPTION "${ORVIK_SUMMARY_${component}}\n${description}")

    # Every package carries its copyright and changelog, as Debian asks; the
    # changelog is written by the build (see package_files below).
    set(doc ${CMAKE_CURRENT_BINARY_DIR}/debian/${package})
    set(ORVIK_DEB_PACKAGE ${package})
    list(APPEND changelogs ${package})
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/debian/copyright ${doc}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})

    # Maintainer scripts: the package's own part with debhelper's snippets at #DEBHELPER#.
    # Units bound to a device start with it; the installation starts them
    # only when it is there (a start would otherwise wait for it).
    set(units)
    set(device_units)
    set(device_entries)
    foreach(u ${ORVIK_UNITS_${component}})
        set(device "")
        foreach(entry ${ORVIK_DEVICES_${component}})
            if(entry MATCHES "^${u}:(.*)$")
                set(device ${CMAKE_MATCH_1})
            endif()
        endforeach()
        if(device)
            list(APPEND device_units ${u}.service)
            list(APPEND device_entries ${u}.service:${device})
        else()
            list(APPEND units ${u}.service)
        endif()
    endforeach()
    set(all_units ${units} ${device_units})
    set(extra)
    if(all_units OR ORVIK_ACCOUNTS_${component})
        list(JOIN units " " unit_words)
        list(JOIN all_units " " all_unit_words)
        list(JOIN ORVIK_TMPFILES_${component} " " tmpfiles_words)
        set(postinst_dh "")
        if(tmpfiles_words)
            debhelper_snippet(postinst_dh postinst-init-tmpfiles TMPFILES "${tmpfiles_words}")
        endif()
        foreach(u ${all_units})
            debhelper_snippet(postinst_dh postinst-systemd-enable UNITFILE ${u})
        endforeach()
        if(units)
            debhelper_snippet(postinst_dh postinst-systemd-restart UNITFILES "${unit_words}" RESTART_ACTION restart)
        endif()
        set(prerm_dh "")
        debhelper_snippet(prerm_dh prerm-systemd-restart UNITFILES "${all_unit_words}")
        set(postrm_dh "")
        debhelper_snippet(postrm_dh postrm-systemd UNITFILES "${all_unit_words}")
        debhelper_snippet(postrm_dh postrm-systemd-reload-only UNITFILES "${all_unit_words}")

        list(JOIN ORVIK_ACCOUNTS_${component} " " ORVIK_DEB_ACCOUNTS)
        list(JOIN ORVIK_STATE_${component} " " ORVIK_DEB_STATE)
        list(JOIN ORVIK_RUNTIME_${component} " " ORVIK_DEB_RUNTIME)
        list(JOIN ORVIK_KEEP_${component} " " ORVIK_DEB_KEEP)
        list(JOIN device_entries " " ORVIK_DEB_DEVICE_UNITS)
        foreach(script postinst prerm postrm)
            file(READ ${CMAKE_CURRENT_SOURCE_DIR}/debian/${script}.in text)
            string(CONFIGURE "${text}" text @ONLY)
            string(REPLACE "#DEBHELPER#" "${${script}_dh}" text "${text}")
            file(WRITE ${doc}/${script} "${text}")
            file(CHMOD ${doc}/${script} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                 GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
            list(APPEND extra ${doc}/${script})
        endforeach()
    endif()
    if(ORVIK_CONFFILES_${component})
        set(lines)
        foreach(entry ${ORVIK_CONFFILES_${component}})
            string(REGEX REPLACE "^[^:]*:" "" path "${entry}")
            list(APPEND lines ${path})
        endforeach()
        list(JOIN lines "\n" lines)
        file(WRITE ${doc}/conffiles "${lines}\n")
        list(APPEND extra ${doc}/conffiles)
    endif()
    set(CPACK_DEBIAN_${C}_PACKAGE_CONTROL_EXTRA "${extra}")
endforeach()

list(JOIN changelogs "," changelog_packages)
# Made by the build: the manual pages, and each package's changelog dated by
# the last commit of the tree (SOURCE_DATE_EPOCH when there is no git).
add_custom_target(package_files ALL
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DOUT_DIR=${CMAKE_CURRENT_BINARY_DIR}/debian
            -DPACKAGES=${changelog_packages} -DVERSION=${deb_version}
            -DTEMPLATE=${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog.in
            -P ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog.cmake
    DEPENDS ${ORVIK_MANPAGES}
    COMMENT "Changelogs of the packages"
    VERBATIM)

include(CPack)
