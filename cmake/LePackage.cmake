# `cpack -G DEB` in the build directory: one Debian package of everything
# `cmake --install` installs (libraries, headers, CMake and pkg-config files,
# tools and the private ONNX Runtime), under /usr.
set(CPACK_PACKAGE_NAME facecore)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Real-time talking-head engine: the facecore library, the lightbackend plug-in and their tools")
set(CPACK_PACKAGE_CONTACT "facecore maintainers <facecore@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Dependencies come from the binaries themselves; the private runtime is
# found through the engine's rpath and needs no package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A cross build's package is for the machine it was built for, not this one.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_GENERATOR DEB)
include(CPack)
