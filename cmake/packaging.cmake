# How the enabler reaches a lab's machines:
#   win32   Vozi-<version>-setup.exe, built with makensis (target vozi_win32_setup)
#   Linux   vozi_<version>_<arch>.deb, built by CPack's DEB generator
#           (cmake --build build/native --target package)
# Both take their version from the version resource's FileVersion string
# (cmake/version.cmake) and install the requirement file of packaging/.

set(VOZI_REQUIREMENT_FILE ${CMAKE_SOURCE_DIR}/packaging/VoziFirmwareVer.ini)
# A version text may hold blanks ("1.1.3 beta"): file names get none.
string(REPLACE " " "-" VOZI_PACKAGE_VERSION "${VOZI_FILE_VERSION_STRING}")

if(WIN32)
  find_program(VOZI_MAKENSIS makensis)
  string(REPLACE "," "." _vozi_fixed_dotted "${VOZI_FIXED_FILE_VERSION}")

  # vozi_add_setup(TARGET VERSION FIXED_VERSION ENABLER OUTPUT [ALL]): a setup
  # program that installs ENABLER as Vozi.kycdll. The enabler goes in without
  # its debug information (the build tree keeps it).
  function(vozi_add_setup target version fixed_version enabler output)
    get_filename_component(_dir ${output} DIRECTORY)
    set(_staged ${CMAKE_CURRENT_BINARY_DIR}/${target}-stage/Vozi.kycdll)
    set(_script ${CMAKE_SOURCE_DIR}/packaging/windows/vozi-setup.nsi)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/${target}-stage ${_dir}
      COMMAND ${CMAKE_STRIP} --strip-debug -o ${_staged} ${enabler}
      COMMAND ${VOZI_MAKENSIS} -V2 -WX
              "-DVERSION=${version}" "-DFIXED_VERSION=${fixed_version}"
              "-DENABLER=${_staged}" "-DREQUIREMENT=${VOZI_REQUIREMENT_FILE}"
              "-DOUTFILE=${output}" ${_script}
      DEPENDS ${enabler} ${_script} ${VOZI_REQUIREMENT_FILE}
      COMMENT "Building ${output}"
      VERBATIM)
    set(_all "")
    if("ALL" IN_LIST ARGN)
      set(_all ALL)
    endif()
    add_custom_target(${target} ${_all} DEPENDS ${output})
  endfunction()

  if(VOZI_MAKENSIS)
    set(VOZI_SETUP ${CMAKE_BINARY_DIR}/Vozi-${VOZI_PACKAGE_VERSION}-setup.exe)
    vozi_add_setup(vozi_win32_setup "${VOZI_FILE_VERSION_STRING}" "${_vozi_fixed_dotted}"
                   $<TARGET_FILE:vozi> ${VOZI_SETUP} ALL)
    add_dependencies(vozi_win32_setup vozi)
  else()
    message(WARNING "makensis not found: no Windows setup program (install nsis: scripts/bootstrap)")
  endif()
  return()
endif()

# ---------------------------------------------------------------------------
# The Debian package. Its files are the component "deb", outside the default
# installation (cmake --install keeps the layout of docs/tools.md):
#
#   /usr/lib/vozi/libvozi.so                 the enabler, loaded at run time
#   /usr/lib/vozi/vozi-host, vozi-sim        the tools, beside the enabler,
#   /usr/bin/vozi-host, vozi-sim               and links to them
#   /etc/vozi/VoziFirmwareVer.ini            the requirement file, which the
#                                            enabler reads for every host that
#                                            has none beside its executable; a
#                                            configuration file that upgrades
#                                            leave as the lab set it
#   /usr/include/vozi_enabler.h
#   /usr/lib/udev/rules.d/60-vozi.rules      port access and latency
#   /usr/lib/python3/dist-packages/vozi/     the Python package (python/)
#   /usr/share/doc/vozi/                     the guides
#   /usr/share/man/man1/vozi-host.1.gz, vozi-sim.1.gz
set(VOZI_DEB_PYTHON_DIR usr/lib/python3/dist-packages)
set(VOZI_DEB_LIBDIR usr/lib/vozi)
set(VOZI_DEB_DOCDIR usr/share/doc/vozi)
# Folders made on the way are 0755 whatever the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS vozi LIBRARY DESTINATION ${VOZI_DEB_LIBDIR} COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES include/vozi_enabler.h DESTINATION usr/include COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${VOZI_REQUIREMENT_FILE} DESTINATION etc/vozi COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES packaging/linux/60-vozi.rules DESTINATION usr/lib/udev/rules.d COMPONENT deb EXCLUDE_FROM_ALL)

# Links are made here and installed as they are.
set(_links ${CMAKE_BINARY_DIR}/packaging/links)
file(MAKE_DIRECTORY ${_links}/bin)
foreach(_tool vozi-host vozi-sim)
  if(TARGET ${_tool})
    install(TARGETS ${_tool} RUNTIME DESTINATION ${VOZI_DEB_LIBDIR} COMPONENT deb EXCLUDE_FROM_ALL)
    file(CREATE_LINK ../lib/vozi/${_tool} ${_links}/bin/${_tool} SYMBOLIC)
    install(FILES ${_links}/bin/${_tool} DESTINATION usr/bin COMPONENT deb EXCLUDE_FROM_ALL)
  endif()
endforeach()

# The browser monitor's page, which `vozi-host monitor` finds at
# ../../share/vozi/web from /usr/lib/vozi and serves from its broker.
if(TARGET vozi_web)
  install(DIRECTORY ${VOZI_WEB_DIR}/ DESTINATION usr/share/vozi/web COMPONENT deb EXCLUDE_FROM_ALL)
endif()

# Documentation: the guides, the copyright notice, the changelog and the
# manual pages, compressed the way Debian expects (at configure time).
# Debian orders "1.1.3~beta" before "1.1.3".
string(REPLACE " " "~" CPACK_DEBIAN_PACKAGE_VERSION "${VOZI_FILE_VERSION_STRING}")
set(VOZI_DEB_MAINTAINER "Vozi enabler developers <vozi@norvatek.example>")
string(TIMESTAMP _vozi_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(_changelog ${CMAKE_BINARY_DIR}/packaging/changelog)
configure_file(packaging/debian/changelog.in ${_changelog} @ONLY)
execute_process(COMMAND gzip -9nc ${_changelog} OUTPUT_FILE ${_changelog}.gz RESULT_VARIABLE _gzip)
if(NOT _gzip EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${_changelog}")
endif()
install(FILES packaging/debian/copyright ${_changelog}.gz README.md docs/installation.md docs/tools.md
              docs/streaming.md
              docs/python.md
        DESTINATION ${VOZI_DEB_DOCDIR} COMPONENT deb EXCLUDE_FROM_ALL)
foreach(_page vozi-host.1 vozi-sim.1)
  execute_process(COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/linux/${_page}
                  OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/${_page}.gz RESULT_VARIABLE _gzip)
  if(NOT _gzip EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${_page}")
  endif()
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${_page}.gz DESTINATION usr/share/man/man1
          COMPONENT deb EXCLUDE_FROM_ALL)
endforeach()
install(FILES packaging/debian/lintian-overrides DESTINATION usr/share/lintian/overrides RENAME vozi
        COMPONENT deb EXCLUDE_FROM_ALL)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in
  ${CMAKE_SOURCE_DIR}/packaging/linux/vozi-host.1 ${CMAKE_SOURCE_DIR}/packaging/linux/vozi-sim.1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vozi)
set(CPACK_PACKAGE_VERSION "${VOZI_PACKAGE_VERSION}")
set(CPACK_PACKAGE_VENDOR Norvatek)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "device enabler for Vozi Scientific instruments")
# CPack puts the summary first and indents the rest; an empty line becomes
# Debian's paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The Vozi device enabler finds Vozi Scientific physiological instruments on
FTDI USB-serial adapters, starts them, checks their firmware and streams
their samples to a data-acquisition host as scaled text.

This package holds the enabler library, its public C header, the reference
host vozi-host, the simulated instrument vozi-sim, the Python package vozi
(instruments into NumPy arrays), the firmware requirement file and a udev
rule that gives the dialout group access to the instruments' ports and sets
their adapters' latency timer to 1 ms.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VOZI_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: the libraries the binaries link (dpkg-shlibdeps; libmosquitto1
# among them: vozi-host publish links it). Recommends: a broker for the
# single-machine default and the Python subscriber's client, and what the
# Python package needs, which the enabler and the tools do not: the
# interpreter its extension is built for (python/CMakeLists.txt builds for
# Debian's /usr/bin/python3) and NumPy.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mosquitto, python3-paho-mqtt")
if(VOZI_BUILD_PYTHON AND NOT VOZI_FUZZ AND EXISTS /usr/bin/python3)
  execute_process(COMMAND /usr/bin/python3 -c "import sys; print(sys.version_info[0], sys.version_info[1])"
                  OUTPUT_VARIABLE _vozi_python OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REPLACE " " ";" _vozi_python "${_vozi_python}")
  list(GET _vozi_python 0 _vozi_python_major)
  list(GET _vozi_python 1 _vozi_python_minor)
  math(EXPR _vozi_python_next "${_vozi_python_minor} + 1")
  string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS
         ", python3 (>= ${_vozi_python_major}.${_vozi_python_minor}), python3 (<< ${_vozi_python_major}.${_vozi_python_next}), python3-numpy")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};vozi;deb;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
