# The iso-surface uses the standard marching-cubes triangle table (Lorensen and
# Cline's 256 cases in the encoding published by Paul Bourke). Debian ships it
# in the Point Cloud Library's headers; only that one header is needed, so the
# libpcl-dev package is downloaded (not installed) and the table extracted into
# a generated include file.
#
# In:  TALUNO_DEPS_DIR  folder for downloaded packages
# Out: MARCHING_CUBES_TABLE_DIR  folder holding MarchingCubesTriTable.inc

function(_taluno_find_pcl_header out)
  file(GLOB _found /usr/include/pcl-*/pcl/surface/marching_cubes.h
                   ${TALUNO_DEPS_DIR}/usr/include/pcl-*/pcl/surface/marching_cubes.h)
  if(_found)
    list(GET _found 0 _first)
    set(${out} ${_first} PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

_taluno_find_pcl_header(_header)
if(NOT _header)
  message(STATUS "Fetching the marching-cubes table from Debian's libpcl-dev")
  file(MAKE_DIRECTORY ${TALUNO_DEPS_DIR})
  execute_process(COMMAND apt-get download libpcl-dev
                  WORKING_DIRECTORY ${TALUNO_DEPS_DIR} RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_VARIABLE _err)
  file(GLOB _debs ${TALUNO_DEPS_DIR}/libpcl-dev_*.deb)
  if(_debs)
    list(GET _debs 0 _deb)
    execute_process(COMMAND sh -c "dpkg-deb --fsys-tarfile \"$0\" | tar -x -C \"$1\" --wildcards '*/pcl/surface/marching_cubes.h'"
                            ${_deb} ${TALUNO_DEPS_DIR} RESULT_VARIABLE _rc)
  endif()
  _taluno_find_pcl_header(_header)
endif()
if(NOT _header)
  message(FATAL_ERROR "The marching-cubes table could not be found: run scripts/setup.sh "
                      "(it downloads Debian's libpcl-dev package into ${TALUNO_DEPS_DIR}), "
                      "or install libpcl-dev. apt-get said: ${_err}")
endif()

file(READ ${_header} _content)
string(REGEX MATCH "triTable\\[256\\]\\[16\\][ \t\r\n]*=[ \t\r\n]*{([^;]*)}[ \t\r\n]*;" _match "${_content}")
if(NOT _match)
  message(FATAL_ERROR "No triTable[256][16] in ${_header}")
endif()
set(MARCHING_CUBES_TABLE_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${MARCHING_CUBES_TABLE_DIR})
set(_generated "// Generated from ${_header}: the standard marching-cubes triangle table.\n{${CMAKE_MATCH_1}}\n")
set(_target ${MARCHING_CUBES_TABLE_DIR}/MarchingCubesTriTable.inc)
if(EXISTS ${_target})
  file(READ ${_target} _previous)
endif()
if(NOT "${_previous}" STREQUAL "${_generated}")
  file(WRITE ${_target} "${_generated}")
endif()
