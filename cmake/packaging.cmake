# The packages an operator installs, made by CPack from the install rules:
#   Linux build:   quorvantis-host_<version>_amd64.deb in the build directory
#   Windows build: quorvantis-host-<version>-win64.zip in the build directory
# (scripts/build-packages makes both; `make package` runs it).

set(CPACK_PACKAGE_NAME quorvantis-host)
set(CPACK_PACKAGE_VENDOR "the quorvantis-host developers")
set(CPACK_PACKAGE_VERSION ${QV_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "PC host utility of the Quorvantis packet-radio digipeater")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${CMAKE_SOURCE_DIR}/packaging/description.txt)
# The Maintainer field: the project's own address unless whoever builds packages
# to hand on gives theirs (-DQV_PACKAGE_MAINTAINER="Name <address>").
set(QV_PACKAGE_MAINTAINER "quorvantis-host developers <quorvantis-host@example.org>"
    CACHE STRING "Maintainer of the Debian package: name <address>")
set(CPACK_PACKAGE_CONTACT ${QV_PACKAGE_MAINTAINER})
# Installed programs carry no symbol tables (the build keeps its own).
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # One folder of that name inside the zip, so that unpacking gives one folder.
  set(CPACK_PACKAGE_FILE_NAME quorvantis-host-${QV_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${QV_UPSTREAM_VERSION})
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${QV_PACKAGE_REVISION})
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Debian's layout inside the package only: the man pages and the README
  # compressed (the examples stay as they are, for the walk-through), the
  # package's changelog beside the copyright, and lintian's overrides. A plain
  # `cmake --install` leaves the files as they are and installs neither.
  set(CPACK_CUSTOM_INSTALL_VARIABLES QV_DEBIAN_PACKAGE=ON)
  find_program(QV_GZIP gzip REQUIRED)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.Debian.in
                 ${CMAKE_BINARY_DIR}/packaging/changelog.Debian @ONLY)
  install(CODE "
    if(QV_DEBIAN_PACKAGE)
      set(qv_root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
      file(INSTALL \"${CMAKE_BINARY_DIR}/packaging/changelog.Debian\"
           DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${QV_DOC_DIR}\"
           PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
      file(INSTALL \"${CMAKE_SOURCE_DIR}/packaging/lintian-overrides\"
           DESTINATION \"\${CMAKE_INSTALL_PREFIX}/share/lintian/overrides\" RENAME quorvantis-host
           PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
      file(GLOB qv_pages \"\${qv_root}/share/man/man1/*.1\")
      foreach(qv_file \"\${qv_root}/${QV_DOC_DIR}/changelog.Debian\" \"\${qv_root}/${QV_DOC_DIR}/README.md\"
                      \${qv_pages})
        # -n: no name and no time stamp in the header, so the same source
        # gives the same bytes.
        execute_process(COMMAND \"${QV_GZIP}\" -9nf \"\${qv_file}\" RESULT_VARIABLE qv_rc)
        if(NOT qv_rc EQUAL 0)
          message(FATAL_ERROR \"gzip \${qv_file} failed: \${qv_rc}\")
        endif()
      endforeach()
    endif()")
endif()

include(CPack)
