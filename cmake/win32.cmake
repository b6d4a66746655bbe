# Windows specifics of the product DLL, included by the top-level CMakeLists
# for the win32 preset: the host loads "Vozi.kycdll" and looks up exactly the
# sixteen names of src/interface/vozi.def; the version block and the two
# control lists travel as resources.
enable_language(RC)

string(REPLACE "," "." VOZI_INTERNAL_VERSION "${VOZI_FIXED_FILE_VERSION}")
set(VOZI_DEVICE_CONTROLS_FILE ${CMAKE_SOURCE_DIR}/resources/device_controls.txt)
set(VOZI_INPUT_AMP_CONTROLS_FILE ${CMAKE_SOURCE_DIR}/resources/input_amp_controls.txt)
set(VOZI_RC_FILE ${CMAKE_BINARY_DIR}/generated/vozi.rc)
configure_file(${CMAKE_SOURCE_DIR}/resources/vozi.rc.in ${VOZI_RC_FILE} @ONLY)
# windres reads the control lists itself; rebuild when they change.
set_source_files_properties(${VOZI_RC_FILE} PROPERTIES
  OBJECT_DEPENDS "${VOZI_DEVICE_CONTROLS_FILE};${VOZI_INPUT_AMP_CONTROLS_FILE}")

target_sources(vozi PRIVATE ${CMAKE_SOURCE_DIR}/src/interface/vozi.def ${VOZI_RC_FILE})
set_target_properties(vozi PROPERTIES
  OUTPUT_NAME Vozi
  PREFIX ""
  SUFFIX ".kycdll"
  LINK_DEPENDS ${CMAKE_SOURCE_DIR}/src/interface/vozi.def)

# SimpleIni is a single header from the distribution's package, found in the
# build machine's /usr/include. That folder must not be searched by the cross
# compiler (its C library headers are glibc's), so the header alone is copied
# to a folder of its own.
find_file(VOZI_SIMPLEINI_HEADER SimpleIni.h PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT VOZI_SIMPLEINI_HEADER)
  message(FATAL_ERROR "SimpleIni.h not found: install libsimpleini-dev (scripts/bootstrap)")
endif()
configure_file(${VOZI_SIMPLEINI_HEADER} ${CMAKE_BINARY_DIR}/generated/simpleini/SimpleIni.h COPYONLY)
target_include_directories(vozi_core SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/generated/simpleini)
