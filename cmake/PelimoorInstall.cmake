# What `cmake --install` puts where (GNU layout, prefix /usr in the package):
#   bin/pelimoor, bin/pelimoor-convert           the programs
#   share/pelimoor/{loading,done,stop}.gif       the status-page pictures; the window looks for
#                                                them in its own directory, then in ../share/pelimoor
#   share/applications/pelimoor.desktop          the desktop entry
#   share/metainfo/example.tressoly.Pelimoor.metainfo.xml   what software centres show (AppStream)
#   share/icons/hicolor/scalable/apps/pelimoor.svg
#   share/mime/packages/pelimoor.xml             .pst files as application/vnd.ms-outlook
#   share/man/man1/pelimoor-convert.1.gz         made from `pelimoor-convert --help` by help2man
#   share/doc/pelimoor/examples/sample-contacts.pst
# The target pelimoor-package-files builds exactly what is installed, without the tests.
include(GNUInstallDirs)

set(PELIMOOR_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
add_custom_target(pelimoor-package-files)

install(TARGETS pelimoor-convert RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
add_dependencies(pelimoor-package-files pelimoor-convert)

if(TARGET pelimoor)
    install(TARGETS pelimoor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    set(pictures)
    foreach(name loading done stop)
        list(APPEND pictures ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}.gif)
    endforeach()
    install(FILES ${pictures} DESTINATION ${CMAKE_INSTALL_DATADIR}/pelimoor)
    install(FILES ${PELIMOOR_PACKAGING_DIR}/pelimoor.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${PELIMOOR_PACKAGING_DIR}/example.tressoly.Pelimoor.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    install(FILES ${PELIMOOR_PACKAGING_DIR}/pelimoor.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    install(FILES ${PELIMOOR_PACKAGING_DIR}/pelimoor-mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
            RENAME pelimoor.xml)
    add_dependencies(pelimoor-package-files pelimoor pelimoor-status-pictures)
endif()

# The man page follows the program's own --help, so the two never disagree.
find_program(PELIMOOR_HELP2MAN help2man)
if(PELIMOOR_HELP2MAN)
    set(man_page ${CMAKE_BINARY_DIR}/man/pelimoor-convert.1)
    add_custom_command(
        OUTPUT ${man_page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${PELIMOOR_HELP2MAN} -DPROGRAM=$<TARGET_FILE:pelimoor-convert>
                -DINCLUDE=${PELIMOOR_PACKAGING_DIR}/pelimoor-convert.h2m -DVERSION=${PROJECT_VERSION}
                -DOUTPUT=${man_page} -P ${CMAKE_CURRENT_LIST_DIR}/PelimoorManPage.cmake
        DEPENDS pelimoor-convert ${PELIMOOR_PACKAGING_DIR}/pelimoor-convert.h2m
                ${CMAKE_CURRENT_LIST_DIR}/PelimoorManPage.cmake
        COMMENT "Writing the man page of pelimoor-convert"
        VERBATIM)
    add_custom_target(pelimoor-man ALL DEPENDS ${man_page}.gz)
    install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    add_dependencies(pelimoor-package-files pelimoor-man)
else()
    message(STATUS "help2man not found: no man page for pelimoor-convert (scripts/deps installs it)")
endif()

# The sample file, so that a fresh install has something to open at once.
if(TARGET samples)
    install(FILES ${CMAKE_BINARY_DIR}/samples/sample-contacts.pst
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/pelimoor/examples)
    add_dependencies(pelimoor-package-files samples)
endif()
