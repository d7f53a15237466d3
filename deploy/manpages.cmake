# Manual pages, made at build time by help2man from each program's --help
# (target package_files, part of the default build). A program built for
# another architecture answers through the build's emulator (qemu).

find_program(ORVIK_HELP2MAN help2man)
set(ORVIK_MAN_DIR ${CMAKE_CURRENT_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${ORVIK_MAN_DIR})
set(ORVIK_MANPAGES)
if(NOT ORVIK_HELP2MAN)
    message(STATUS "help2man is not installed: the packages get no manual pages (scripts/setup installs it)")
endif()

foreach(component cabinet terminal readers)
    foreach(program ${ORVIK_PROGRAMS_${component}})
        if(NOT TARGET ${program} OR NOT ORVIK_HELP2MAN)
            continue()
        endif()
        set(about "${ORVIK_ABOUT_${program}}")
        if(about STREQUAL "")
            message(FATAL_ERROR "deploy/CMakeLists.txt: ORVIK_ABOUT_${program} is missing (one line for its manual page)")
        endif()
        # help2man runs the program by its bare name, so that the usage line
        # names it as a user types it, not by its place in the build folder.
        set(runner_dir ${ORVIK_MAN_DIR}/run/${program})
        if(CMAKE_CROSSCOMPILING_EMULATOR)
            list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
            file(GENERATE OUTPUT ${runner_dir}/${program}
                 CONTENT "#!/bin/sh\nexec ${emulator} -0 ${program} $<TARGET_FILE:${program}> \"$@\"\n"
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
            set(path ${runner_dir})
        else()
            set(path $<TARGET_FILE_DIR:${program}>)
        endif()
        set(page ${ORVIK_MAN_DIR}/${program}.1)
        add_custom_command(OUTPUT ${page}.gz
            COMMAND ${CMAKE_COMMAND} -E env "PATH=${path}:$ENV{PATH}" QT_QPA_PLATFORM=offscreen
                    ${ORVIK_HELP2MAN} --no-info --no-discard-stderr --section=1
                    "--name=${about}" "--version-string=${PROJECT_VERSION}"
                    "--source=Orvik dosimeter store" --output=${page} ${program}
            COMMAND gzip -9nf ${page}
            DEPENDS ${program}
            COMMENT "Manual page of ${program}"
            VERBATIM)
        list(APPEND ORVIK_MANPAGES ${page}.gz)
        install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
    endforeach()
endforeach()
