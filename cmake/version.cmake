# The version is written once, in the file VERSION at the top of the source:
# X.Y-N, version X.Y and package revision N. Sets QV_VERSION (X.Y-N),
# QV_UPSTREAM_VERSION (X.Y) and QV_PACKAGE_REVISION (N), and configures again
# when the file changes. The program's build and the simulator's (which also
# builds on its own) both read it here.
get_filename_component(qv_version_file ${CMAKE_CURRENT_LIST_DIR}/../VERSION ABSOLUTE)
file(STRINGS ${qv_version_file} QV_VERSION LIMIT_COUNT 1)
if(NOT QV_VERSION MATCHES "^([0-9]+\\.[0-9]+)-([0-9]+)$")
  message(FATAL_ERROR "${qv_version_file}: \"${QV_VERSION}\" is no version of the form X.Y-N")
endif()
set(QV_UPSTREAM_VERSION ${CMAKE_MATCH_1})
set(QV_PACKAGE_REVISION ${CMAKE_MATCH_2})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${qv_version_file})
