# Debian packages (CPack DEB), one set per build:
#   libkalvent-legged-sdk2        the shared library (versioned SONAME)
#   libkalvent-legged-sdk-dev     headers, the development link, CMake package, pkg-config
#   kalvent-legged-sdk-tools      kalvent_sim, kalvent_linkcheck, kalvent_log,
#                                 kalvent_record, kalvent_dash and its page, the
#                                 C++ example programs, the recording's LCM types
#   python3-kalvent-legged-sdk    the Python module, its stub, the recording loader
#                                 and the Python examples (native builds with Python)
# Dependencies on system libraries come from dpkg-shlibdeps. Whatever else
# ships with the tools installs with COMPONENT tools and lands in that package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kalvent-legged-sdk)
set(CPACK_PACKAGE_VENDOR "kalvent_legged_sdk developers")
set(CPACK_PACKAGE_CONTACT "kalvent_legged_sdk developers <maintainers@kalvent.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client library for commanding a four-legged robot")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
if(KALVENT_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only the libraries dpkg installed, and the cross
  # builds' LCM lies unpacked in their sysroot: name what they link.
  set(KALVENT_CROSS_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11), liblcm1 (>= 1.3.1)")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${KALVENT_CROSS_DEPENDS}")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${KALVENT_CROSS_DEPENDS}")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
endif()
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KALVENT_DEB_ARCH})

set(KALVENT_RUNTIME_PACKAGE libkalvent-legged-sdk${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KALVENT_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The PC build leaves the LCM functions to the program's link, so dpkg-shlibdeps
# cannot see that it needs LCM at run time.
if(KALVENT_ARCH STREQUAL "x86_64")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "liblcm1")
endif()
# kalvent_sim --video runs ffmpeg to encode its frames.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "ffmpeg")
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "shared library for commanding a four-legged robot\n The shared library lib${KALVENT_LIB_NAME}.so.${PROJECT_VERSION_MAJOR}: UDP packets with a CRC-32\n to and from the robot's controller, periodic real-time loops, safety guards\n for joint commands and an LCM bridge between processes.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkalvent-legged-sdk-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "${KALVENT_RUNTIME_PACKAGE} (= ${PROJECT_VERSION}), liblcm-dev, libboost-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "client library for commanding a four-legged robot - development files\n Headers, the development link lib${KALVENT_LIB_NAME}.so, the CMake package\n (find_package(kalvent_legged_sdk)) and the pkg-config file.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kalvent-legged-sdk-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION misc)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "simulated robot controller, link check and examples for kalvent_legged_sdk\n kalvent_sim simulates the robot's controller; kalvent_linkcheck checks a\n machine's real-time readiness and the link to a controller; kalvent_log and\n kalvent_record make, read, plot and replay recordings of a run; kalvent_dash\n shows the robot live in a browser, read-only; the example programs show the\n library's use.")
# kalvent_log plot needs gnuplot.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "gnuplot-nox")

# The Python module is built for one interpreter version (python/). It
# imports without numpy; its numpy views, its leg kinematics and the
# recording loader need numpy. The loader reads the recordings' types from
# the tools package.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kalvent-legged-sdk)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${KALVENT_PYTHON_DEPENDS}")
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "python3-numpy")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "kalvent-legged-sdk-tools")
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "Python module for commanding a four-legged robot\n The module kalvent_legged_sdk for Debian's python3: the records, the UDP\n endpoint, safety guards, loops and the LCM bridge of the library, with\n numpy views of the joint data; its type stub, the recording loader\n kalvent_recording and the Python example programs.")

# Every package carries its copyright and changelog; the runtime package
# lets dpkg run ldconfig after it.
string(TIMESTAMP KALVENT_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/debian/changelog
  "kalvent-legged-sdk (${PROJECT_VERSION}) stable; urgency=medium\n\n  * Release ${PROJECT_VERSION}.\n\n -- ${CPACK_PACKAGE_CONTACT}  ${KALVENT_CHANGELOG_DATE}\n")
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/debian/changelog)
foreach(component ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${component} upper)
  install(FILES cmake/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component})
endforeach()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)

include(CPack)
