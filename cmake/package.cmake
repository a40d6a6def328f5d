# Installed tree and packages. `cmake --install` lays out (under the prefix; the packages use /usr):
#   bin/pulserd                       the control server
#   bin/beacond.elf                   the discovery server, under the name pulserd restarts it by
#   bin/tarvex                        the command-line client (when built)
#   share/tarvex/www/                 the web pages: pulserd's working directory
#   share/tarvex/start-tarvex.sh      example start script for the system image
# CPack builds a Debian package (architecture of the target, runtime libraries declared from the
# programs' dynamic dependencies) and a tarball of the same tree for images without packages:
#   cpack --config <build>/CPackConfig.cmake
include(GNUInstallDirs)

install(TARGETS pulserd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET beacond)
  install(PROGRAMS $<TARGET_FILE:beacond> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME beacond.elf)
  # A renamed file is not a target: stripped here when the installation strips (install/strip, CPack).
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/beacond.elf\"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()")
endif()
if(TARGET tarvex)
  install(TARGETS tarvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/www/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvex/www)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/package/start-tarvex.sh DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvex)

# Debian's name for the target architecture (armhf for the board's toolchain).
execute_process(COMMAND dpkg-architecture -qDEB_HOST_ARCH -t ${CMAKE_LIBRARY_ARCHITECTURE}
                OUTPUT_VARIABLE TARVEX_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)

set(CPACK_PACKAGE_NAME tarvex)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_VENDOR "Tarvex")
set(CPACK_PACKAGE_CONTACT "Tarvex developers <tarvex@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Control and discovery servers of the Tarvex pulse-pattern generator")
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_SYSTEM_NAME ${TARVEX_DEB_ARCH})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TARVEX_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
