# `cmake --install` layout: the public headers, both libraries, a CMake
# package (find_package(facecore) gives the imported target
# facecore::facecore) and a pkg-config file, all relocatable with --prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The installed engine finds a system ONNX Runtime outside the library path
# through its rpath; the plug-in finds the engine beside itself.
set_target_properties(facecore PROPERTIES INSTALL_RPATH_USE_LINK_PATH TRUE)
# The pinned ONNX Runtime (not a system one) is installed with the engine in a
# private directory beside it, so an install or package needs no other copy.
set(LE_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/facecore)
if(LE_ORT_LIBRARY)
  # The versioned names: the file and the soname link the engine asks for.
  get_filename_component(_le_ort_libdir "${LE_ORT_LIBRARY}" DIRECTORY)
  file(GLOB _le_ort_files "${_le_ort_libdir}/libonnxruntime.so.*")
  install(FILES ${_le_ort_files} DESTINATION ${LE_PRIVATE_LIBDIR})
  set_target_properties(facecore PROPERTIES INSTALL_RPATH "$ORIGIN/facecore")
endif()
set_target_properties(lightbackend PROPERTIES INSTALL_RPATH "$ORIGIN")

# The command-line tools find the engine (and le_bundle, which carries the
# engine's interior, the runtime) from bin/.
set(_le_installed_tools le_info le_render le_speak le_bundle le_live)
file(RELATIVE_PATH _le_bin_to_lib "/p/${CMAKE_INSTALL_BINDIR}" "/p/${CMAKE_INSTALL_LIBDIR}")
set_target_properties(${_le_installed_tools} PROPERTIES
  INSTALL_RPATH "$ORIGIN/${_le_bin_to_lib};$ORIGIN/${_le_bin_to_lib}/facecore")
install(TARGETS ${_le_installed_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

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

include(${CMAKE_CURRENT_LIST_DIR}/LePackage.cmake)
