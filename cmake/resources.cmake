# The two control lists travel inside the library. On Windows they are RCDATA
# resources compiled by windres (cmake/win32.cmake); on Linux the same bytes and
# version strings are embedded as C++ arrays generated here at build time.
set(VOZI_CONTROL_LISTS
  "103=${CMAKE_SOURCE_DIR}/resources/device_controls.txt"
  "105=${CMAKE_SOURCE_DIR}/resources/input_amp_controls.txt")

set(VOZI_RESOURCE_SOURCES)
if(NOT WIN32)
  set(_out ${CMAKE_BINARY_DIR}/generated/embedded_resources.cpp)
  string(REPLACE ";" "|" _lists "${VOZI_CONTROL_LISTS}")
  add_custom_command(
    OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND}
      "-DOUT=${_out}"
      "-DLISTS=${_lists}"
      "-DFILE_VERSION=${VOZI_FILE_VERSION_STRING}"
      "-DFILE_DESCRIPTION=${VOZI_FILE_DESCRIPTION}"
      "-DFIXED_FILE_VERSION=${VOZI_FIXED_FILE_VERSION}"
      -P ${CMAKE_SOURCE_DIR}/cmake/embed_resources.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/device_controls.txt
            ${CMAKE_SOURCE_DIR}/resources/input_amp_controls.txt
            ${CMAKE_SOURCE_DIR}/cmake/embed_resources.cmake
    COMMENT "Embedding control lists and version strings"
    VERBATIM)
  set(VOZI_RESOURCE_SOURCES ${_out})
endif()
