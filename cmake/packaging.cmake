# Release packages, made by CPack; their names carry the project's version.
#
#   preset windows:  cmake --build --preset windows --target package
#                    -> build/windows/Orvane-<version>-win64.zip
#   preset router:   cmake --build --preset router --target package
#                    -> build/router/netvigil-<version>-mipsel.tar.gz
#   preset release:  cmake --build --preset release --target deb
#                    -> build/release/orvane_<version>_<arch>.deb
#
# The Debian package has its own target, which builds only what it holds:
# the package target of a native build would first build every test and
# benchmark.
set(ORVANE_PACKAGING_DIR "${CMAKE_SOURCE_DIR}/packaging")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "the Orvane developers")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_VERBATIM_VARIABLES TRUE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(ORVANE_PACKAGE_MAINTAINER "Orvane developers <orvane@example.org>" CACHE STRING
    "Maintainer field of the Debian package; the address the Windows package's licence offer names")

if(WIN32)
  # One folder for the operator: the two programs, an example orvane.ini
  # with every key commented out, a short README (CR LF, for Notepad), the
  # licences, and the relinking kit that the LGPL asks for beside programs
  # linked statically with libgcrypt and libgpg-error.
  file(STRINGS "${GCRYPT_INCLUDE_DIR}/gcrypt.h" _gcrypt_version REGEX "^#define GCRYPT_VERSION \"")
  string(REGEX REPLACE ".*\"(.*)\".*" "\\1" ORVANE_GCRYPT_VERSION "${_gcrypt_version}")
  file(STRINGS "${GCRYPT_INCLUDE_DIR}/gpg-error.h" _gpg_error_version REGEX "^#define GPG_ERROR_VERSION \"")
  string(REGEX REPLACE ".*\"(.*)\".*" "\\1" ORVANE_GPG_ERROR_VERSION "${_gpg_error_version}")
  configure_file("${ORVANE_PACKAGING_DIR}/windows/README.txt.in" "${CMAKE_BINARY_DIR}/package/README.txt"
                 @ONLY NEWLINE_STYLE CRLF)
  # The LGPL's text as the system keeps it (Debian's base-files), word for word.
  set(ORVANE_LGPL_TEXT "/usr/share/common-licenses/LGPL-2.1" CACHE FILEPATH "The LGPL 2.1 text the zip carries")
  if(NOT EXISTS "${ORVANE_LGPL_TEXT}")
    message(FATAL_ERROR "The zip carries the LGPL 2.1 text: ${ORVANE_LGPL_TEXT} is missing (set ORVANE_LGPL_TEXT)")
  endif()
  foreach(_text "${CMAKE_SOURCE_DIR}/LICENSE=LICENSE.txt" "${ORVANE_LGPL_TEXT}=LGPL-2.1.txt")
    string(REPLACE "=" ";" _text "${_text}")
    list(GET _text 0 _from)
    list(GET _text 1 _to)
    file(READ "${_from}" _content)
    string(REGEX REPLACE "\r?\n" "\r\n" _content "${_content}")
    file(WRITE "${CMAKE_BINARY_DIR}/package/${_to}" "${_content}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_from}")
  endforeach()
  # Both programs' libraries, in one group (the linker resolves them in any order).
  set(_orvane_relink_targets orvane_cli orvane_app orvane_appcore orvane_widgets orvane_engine orvane_catalogue
      orvane_trust orvane_net orvane_diagcmd orvane_log orvane_diag orvane_platform)
  set(ORVANE_RELINK_LIBS "")
  foreach(_lib IN LISTS _orvane_relink_targets)
    string(APPEND ORVANE_RELINK_LIBS " -l${_lib}")
  endforeach()
  string(STRIP "${ORVANE_RELINK_LIBS}" ORVANE_RELINK_LIBS)
  set(ORVANE_RELINK_SYSTEM_LIBS "-ladvapi32 -liphlpapi -lcomctl32 -lversion -lgdi32 -luser32 -lws2_32")
  configure_file("${ORVANE_PACKAGING_DIR}/windows/relink-README.txt.in" "${CMAKE_BINARY_DIR}/package/relink/README.txt"
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES "${CMAKE_BINARY_DIR}/package/LICENSE.txt" "${CMAKE_BINARY_DIR}/package/LGPL-2.1.txt" DESTINATION .)
  install(FILES "${CMAKE_BINARY_DIR}/package/relink/README.txt" DESTINATION relink)
  foreach(_lib IN LISTS _orvane_relink_targets)
    install(FILES "$<TARGET_LINKER_FILE:${_lib}>" DESTINATION relink/lib)
  endforeach()
  install(FILES "$<TARGET_OBJECTS:Orvane>" DESTINATION relink/Orvane)
  install(FILES "$<TARGET_OBJECTS:orvane>" DESTINATION relink/orvane-cli)
  configure_file("${ORVANE_PACKAGING_DIR}/windows/orvane.ini" "${CMAKE_BINARY_DIR}/package/orvane.ini"
                 COPYONLY)
  file(READ "${CMAKE_BINARY_DIR}/package/orvane.ini" _orvane_ini)
  string(REGEX REPLACE "\r?\n" "\r\n" _orvane_ini "${_orvane_ini}")
  file(WRITE "${CMAKE_BINARY_DIR}/package/orvane.ini" "${_orvane_ini}")
  install(TARGETS Orvane orvane RUNTIME DESTINATION .)
  install(FILES "${CMAKE_BINARY_DIR}/package/README.txt" "${CMAKE_BINARY_DIR}/package/orvane.ini"
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "Orvane-${PROJECT_VERSION}-win64")
  include(CPack)
  return()
endif()

if(ORVANE_ROUTER_ONLY)
  # For the firmware's build: the stripped daemon, its start-up script for
  # BusyBox init, its nvram settings as `nvram set` lines and its man page,
  # laid out as in the router's root file system.
  configure_file("${ORVANE_PACKAGING_DIR}/router/netvigil.8.in" "${CMAKE_BINARY_DIR}/package/netvigil.8" @ONLY)
  install(TARGETS netvigil RUNTIME DESTINATION usr/sbin)
  install(PROGRAMS "${ORVANE_PACKAGING_DIR}/router/S90netvigil" DESTINATION etc/init.d)
  install(PROGRAMS "${ORVANE_PACKAGING_DIR}/router/nvram-defaults.sh" DESTINATION usr/share/netvigil)
  install(FILES "${CMAKE_BINARY_DIR}/package/netvigil.8" DESTINATION usr/share/man/man8)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME "netvigil-${PROJECT_VERSION}-mipsel")
  include(CPack)
  return()
endif()

if(CMAKE_CROSSCOMPILING)
  return()
endif()

# ---- Debian package: orvane and orvane-routersim ----------------------------
include(GNUInstallDirs)
set(_orvane_man "${CMAKE_BINARY_DIR}/package/man")
set(_orvane_doc "${CMAKE_BINARY_DIR}/package/doc")

add_custom_command(
  OUTPUT "${_orvane_man}/orvane.1.gz"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_orvane_man}"
  COMMAND "${CMAKE_COMMAND}" "-DPROGRAM=$<TARGET_FILE:orvane>" "-DSECTION=1"
          "-DNAME=update a 3G router and its wireless module from the router's LAN"
          "-DSUBCOMMANDS=ON" "-DOUTPUT=${_orvane_man}/orvane.1.gz" -P "${CMAKE_SOURCE_DIR}/cmake/manpage.cmake"
  DEPENDS orvane "${CMAKE_SOURCE_DIR}/cmake/manpage.cmake"
  COMMENT "Man page orvane(1) from orvane --help"
  VERBATIM)
add_custom_command(
  OUTPUT "${_orvane_man}/orvane-routersim.1.gz"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_orvane_man}"
  COMMAND "${CMAKE_COMMAND}" "-DPROGRAM=$<TARGET_FILE:orvane-routersim>" "-DSECTION=1"
          "-DNAME=a simulated 3G router and wireless module on loopback, for tests and demonstrations"
          "-DOUTPUT=${_orvane_man}/orvane-routersim.1.gz" -P "${CMAKE_SOURCE_DIR}/cmake/manpage.cmake"
  DEPENDS orvane-routersim "${CMAKE_SOURCE_DIR}/cmake/manpage.cmake"
  COMMENT "Man page orvane-routersim(1) from orvane-routersim --help"
  VERBATIM)

# A native package's change log, gzipped without a time stamp inside.
string(TIMESTAMP ORVANE_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${ORVANE_PACKAGING_DIR}/debian/changelog.in" "${_orvane_doc}/changelog" @ONLY)
add_custom_command(
  OUTPUT "${_orvane_doc}/changelog.gz"
  COMMAND gzip -9nfk "${_orvane_doc}/changelog"
  DEPENDS "${_orvane_doc}/changelog"
  COMMENT "Debian change log"
  VERBATIM)

add_custom_target(orvane_package_files
  DEPENDS "${_orvane_man}/orvane.1.gz" "${_orvane_man}/orvane-routersim.1.gz" "${_orvane_doc}/changelog.gz")

install(TARGETS orvane orvane-routersim RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${_orvane_man}/orvane.1.gz" "${_orvane_man}/orvane-routersim.1.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${ORVANE_PACKAGING_DIR}/debian/copyright" "${_orvane_doc}/changelog.gz"
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/orvane")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_CONTACT "${ORVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "updater for a 3G router and its wireless module")
# CPack puts the summary first and indents every line of the description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "orvane brings a 3G home router board and the wireless data-card module
behind it to new software from a PC on the router's LAN: it checks the
image files and the versions on the router, then updates the boot loader,
application and resource of the router board and the firmware and
dashboard of the module, logging every step. It also inspects, scans and
builds image files.

orvane-routersim simulates the router and its module on loopback, for
tests and demonstrations.")
include(CPack)

if(ORVANE_SANITIZE OR ORVANE_TSAN)
  add_custom_target(deb
    COMMAND "${CMAKE_COMMAND}" -E echo "deb: this build has sanitizers; build the package from preset release"
    COMMAND "${CMAKE_COMMAND}" -E false)
else()
  add_custom_target(deb
    COMMAND "${CMAKE_CPACK_COMMAND}" -G DEB --config "${CMAKE_BINARY_DIR}/CPackConfig.cmake"
    WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
    USES_TERMINAL
    COMMENT "Debian package")
  add_dependencies(deb orvane orvane-routersim orvane_package_files)
endif()
