# Installation of the whole product and its Debian package.
#
# `cmake --install build` puts, under the prefix (default /usr/local):
#   bin/KriAtmnSvc, bin/KriAtmnRegister, bin/KriAggrReceiver
#   lib/kriatmnsvc/libKriAtmnSimulator.so            the simulated automation system
#   lib/kriatmnsvc/libkricom.so                      the string allocator they share
#   share/kriatmnsvc/scenarios/studio-hour.xml
#   share/doc/kriatmnsvc/                            the operator's manual (docs/, README.md its index),
#                                                    copyright, changelog.gz
#   share/man/man8/KriAtmnSvc.8.gz, KriAtmnRegister.8.gz, share/man/man1/KriAggrReceiver.1.gz
#   the systemd unit KriAtmn.service, in /lib/systemd/system for the prefix /usr and in
#   <prefix>/lib/systemd/system for any other (systemd reads /usr/local/lib/systemd/system too)
# (the program rules are in the folders of their targets), and two system configuration files:
#   <etc>/kriatmnsvc/KriAtmnSvc.xml                  the sample configuration
#   <etc>/kri-registry/HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt/KriAtmnSvc/Config
#                                                    the registry value naming that file
# <etc> is /etc for the system prefixes /usr and /usr/local, and <prefix>/etc for any other, so
# that `cmake --install build --prefix DIR` writes nothing outside DIR. It is decided when
# installing, since --prefix is only known then. Both files are written only when they are
# absent: a reinstall never overwrites an operator's configuration.
#
# `cpack` (in a build tree configured with this file) makes kriatmnsvc_<version>_<arch>.deb with
# the same files under the prefix /usr; scripts/package-test.sh builds and checks it.

# The shared string allocator (libkricom.so) is installed in the service's private library
# folder; the programs and the plug-in find it there relative to their own location, whatever
# the prefix.
#
# CMake would give them that run path at installation by editing the one they have in the build
# tree, and to that end it ends the build tree's run path with ':', an empty element that the
# loader reads as the current directory: a program started from the build tree in someone else's
# folder would load a library planted there. So they are linked with the build tree's run path as
# it is (no edit expected), and installation sets the installed one itself. The build tree's run
# path is lengthened with "/." steps where it is shorter than the installed one, so that the edit
# fits in place.
file(RELATIVE_PATH KRI_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_LIBDIR}/kriatmnsvc)
get_target_property(KRI_BUILD_RUNPATH kricom BINARY_DIR)
function(kri_installed_runpath target destination runpath)
    set(build_runpath "${KRI_BUILD_RUNPATH}")
    string(LENGTH "${build_runpath}" length)
    string(LENGTH "${runpath}" needed)
    while(length LESS needed)
        string(APPEND build_runpath "/.")
        math(EXPR length "${length} + 2")
    endwhile()
    set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON
                                               INSTALL_RPATH "${build_runpath}")
    install(CODE "file(RPATH_SET FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${target}>\"
                       NEW_RPATH \"${runpath}\")")
endfunction()
if(NOT WIN32)
    foreach(program KriAtmnSvc KriAtmnRegister KriAggrReceiver)
        kri_installed_runpath(${program} ${CMAKE_INSTALL_BINDIR} "\$ORIGIN/${KRI_BIN_TO_LIB}")
    endforeach()
    kri_installed_runpath(KriAtmnSimulator ${CMAKE_INSTALL_LIBDIR}/kriatmnsvc "\$ORIGIN")
endif()

set(KRI_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kriatmnsvc)
install(DIRECTORY docs/ DESTINATION ${KRI_DOC_DIR} FILES_MATCHING PATTERN "*.md")
install(FILES packaging/debian/copyright DESTINATION ${KRI_DOC_DIR})

# Manual pages and the changelog are installed compressed, as Debian wants them.
set(KRI_COMPRESSED)
function(kri_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${source} ${output}
        DEPENDS ${source} VERBATIM)
    set(KRI_COMPRESSED ${KRI_COMPRESSED} ${output} PARENT_SCOPE)
endfunction()
set(KRI_GZIP_DIR ${PROJECT_BINARY_DIR}/compressed)
file(MAKE_DIRECTORY ${KRI_GZIP_DIR})
kri_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${KRI_GZIP_DIR}/changelog.gz)
foreach(page KriAtmnSvc.8 KriAtmnRegister.8 KriAggrReceiver.1)
    kri_gzip(${PROJECT_SOURCE_DIR}/packaging/man/${page} ${KRI_GZIP_DIR}/${page}.gz)
    string(REGEX REPLACE ".*\\." "" section ${page})
    install(FILES ${KRI_GZIP_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
install(FILES ${KRI_GZIP_DIR}/changelog.gz DESTINATION ${KRI_DOC_DIR})
add_custom_target(kri_compressed_docs ALL DEPENDS ${KRI_COMPRESSED})

# The display name of the unit's Description is the service's own, from its header.
file(STRINGS Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnService.h KRI_DISPLAY_NAME
     REGEX "kDisplayName\\[\\] = \"")
string(REGEX REPLACE ".*kDisplayName\\[\\] = \"([^\"]*)\".*" "\\1" KRI_DISPLAY_NAME
       "${KRI_DISPLAY_NAME}")

install(CODE "
set(KRI_CONFIG_TEMPLATE \"${PROJECT_SOURCE_DIR}/packaging/KriAtmnSvc.xml.in\")
set(KRI_UNIT_TEMPLATE \"${PROJECT_SOURCE_DIR}/packaging/KriAtmn.service.in\")
set(KRI_DISPLAY_NAME \"${KRI_DISPLAY_NAME}\")
set(KRI_STAGING_DIR \"${PROJECT_BINARY_DIR}/install-config\")
set(KRI_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
set(KRI_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
set(KRI_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
")
install(SCRIPT cmake/InstallConfig.cmake)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kriatmnsvc)
set(CPACK_PACKAGE_VENDOR "Varnholt")
set(CPACK_PACKAGE_CONTACT "Varnholt studio systems <studio-systems@varnholt.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "studio playlist events to the aggregation server")
set(CPACK_PACKAGE_DESCRIPTION
    "The Kri Automation Interfacing Service (KriAtmnSvc) loads the studio automation
system's interface plug-in, turns every playlist event it reports into a
Kri_Transact transaction and sends it over TLS with a client certificate to the
aggregation server. Includes the simulated automation system, the plug-in
registration tool and the reference aggregation receiver for commissioning.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The package installs under /usr, as Debian packages do; CPACK_SET_DESTDIR stages it with that
# prefix, so that the configuration lands in /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# libcpp-httplib0.11: the reference receiver's live page.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libgcc-s1, libssl3, libpugixml1v5, libsystemd0, libcpp-httplib0.11, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd, openssl")

set(KRI_PACKAGE_BINDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR})
set(KRI_PACKAGE_PLUGIN
    ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/kriatmnsvc/libKriAtmnSimulator.so)
set(KRI_DEBIAN_DIR ${PROJECT_BINARY_DIR}/debian)
foreach(script conffiles postinst prerm postrm)
    configure_file(packaging/debian/${script}.in ${KRI_DEBIAN_DIR}/${script} @ONLY)
endforeach()
file(CHMOD ${KRI_DEBIAN_DIR}/postinst ${KRI_DEBIAN_DIR}/prerm ${KRI_DEBIAN_DIR}/postrm
     PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                 WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KRI_DEBIAN_DIR}/conffiles ${KRI_DEBIAN_DIR}/postinst ${KRI_DEBIAN_DIR}/prerm
    ${KRI_DEBIAN_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
