# `cmake --install` layout: the public headers, both libraries, a CMake
# package (find_package(facecore) gives the imported target
# facecore::facecore) and a pkg-config file, all relocatable with --prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The installed engine finds an ONNX Runtime that lives outside the system's
# library path (the pinned local prefix) through its rpath; the plug-in finds
# the engine beside itself.
# The pinned prefix usually sits inside the source tree (.deps), which CMake's
# link-path rule leaves out, so name its directory explicitly.
set_target_properties(facecore PROPERTIES INSTALL_RPATH_USE_LINK_PATH TRUE)
if(LE_ORT_LIBRARY)
  get_filename_component(_le_ort_libdir "${LE_ORT_LIBRARY}" DIRECTORY)
  set_target_properties(facecore PROPERTIES INSTALL_RPATH "${_le_ort_libdir}")
endif()
set_target_properties(lightbackend PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS facecore EXPORT facecoreTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS lightbackend LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY le DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
# What a host of the plug-in needs: its tables and entry points.
install(FILES backend/lightbackend.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(_le_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/facecore)
install(EXPORT facecoreTargets NAMESPACE facecore:: DESTINATION ${_le_cmake_dir})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/facecoreConfig.cmake.in
  ${CMAKE_BINARY_DIR}/facecoreConfig.cmake INSTALL_DESTINATION ${_le_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/facecoreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/facecoreConfig.cmake ${CMAKE_BINARY_DIR}/facecoreConfigVersion.cmake
        DESTINATION ${_le_cmake_dir})

# pkg-config: the prefix is found from the .pc file's own place, so the file
# stays right whatever --prefix the install is given.
file(RELATIVE_PATH LE_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
string(REGEX REPLACE "/$" "" LE_PC_TO_PREFIX "${LE_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/facecore.pc.in ${CMAKE_BINARY_DIR}/facecore.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/facecore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
