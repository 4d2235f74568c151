# The Debian package: `cmake --build build --target package` writes
# build/vantor_<version>_amd64.deb with CPack's DEB generator. It installs the
# programs, the launcher, the desktop entry and icon (app/), the man pages and
# the Debian doc files.
include(GNUInstallDirs)

set(VANTOR_MAINTAINER "Vantor maintainers <maintainers@vantor.example>"
    CACHE STRING "Maintainer named in the Debian package")

install(TARGETS vantor-camsim vantor-p2pcheck RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/res/vantor-launch DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/res/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vantor)
# The transport's settings, every line commented out; a conffile, so an
# upgrade keeps what the administrator wrote.
install(FILES ${PROJECT_SOURCE_DIR}/res/p2p/p2p.conf DESTINATION /etc/vantor)
install(FILES ${PROJECT_SOURCE_DIR}/res/p2p/mosquitto/vantor.conf ${PROJECT_SOURCE_DIR}/res/p2p/mosquitto/vantor.acl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vantor/examples/mosquitto)
install(FILES ${PROJECT_SOURCE_DIR}/res/p2p/systemd/vantor-camera.service
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vantor/examples/systemd)

# Man pages and the changelog go in gzipped with -n: no name or time stamp, so
# the package is the same from build to build.
set(gzipped)
function(vantor_gzip source destination)
    get_filename_component(name ${source} NAME)
    set(output ${PROJECT_BINARY_DIR}/gz/${destination}/${name}.gz)
    add_custom_command(OUTPUT ${output}
        COMMAND sh -c "mkdir -p \"$(dirname \"$1\")\" && gzip -9nc \"$0\" > \"$1\"" ${source} ${output}
        DEPENDS ${source} VERBATIM)
    install(FILES ${output} DESTINATION ${destination})
    set(gzipped ${gzipped} ${output} PARENT_SCOPE)
endfunction()
foreach(page vantor vantor-launch vantor-camsim vantor-p2pcheck)
    vantor_gzip(${PROJECT_SOURCE_DIR}/res/man/${page}.1 ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
vantor_gzip(${PROJECT_SOURCE_DIR}/res/debian/changelog ${CMAKE_INSTALL_DATADIR}/doc/vantor)
add_custom_target(vantor-gzipped-docs ALL DEPENDS ${gzipped})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VANTOR_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adb)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/res/debian/conffiles)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live view of wearable cameras and upload of their media")
# CPack puts the summary first, as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Vantor shows four cameras on a peer-to-peer link at once, with their sound;
the operator can talk back through the microphone and record a camera's
stream into MP4 files. A second window copies the photos and videos of
Android devices attached over USB, found with adb, into local folders.
.
The package also holds vantor-camsim, a simulated camera, and
vantor-p2pcheck, which tests the link to a camera.")
include(CPack)
