# `cmake --install` puts the public headers, the areas' static libraries, a package config for
# find_package(kestrune) and a kestrune.pc for pkg-config under the prefix.
include(CMakePackageConfigHelpers)

set(KESTRUNE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kestrune)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kestrune DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS kestrune ${KESTRUNE_AREA_TARGETS} EXPORT kestruneTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT kestruneTargets NAMESPACE kestrune:: DESTINATION ${KESTRUNE_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kestrune-config.cmake.in
  ${PROJECT_BINARY_DIR}/kestrune-config.cmake INSTALL_DESTINATION ${KESTRUNE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kestrune-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kestrune-config.cmake ${PROJECT_BINARY_DIR}/kestrune-config-version.cmake
  ${PROJECT_SOURCE_DIR}/cmake/KestruneLibYuv.cmake
  DESTINATION ${KESTRUNE_CMAKE_DIR})

# pkg-config wants the static libraries in link order: every area before the areas it uses.
set(KESTRUNE_LINK_ORDER recorder capture encoding transport capturedev audiodev ui core media platform)
set(pc_libs "")
foreach(area IN LISTS KESTRUNE_LINK_ORDER)
  if(NOT TARGET kestrune_${area})
    message(FATAL_ERROR "kestrune.pc: no area ${area}")
  endif()
  get_target_property(type kestrune_${area} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    string(APPEND pc_libs " -lkestrune_${area}")
  endif()
endforeach()
foreach(target IN LISTS KESTRUNE_AREA_TARGETS)
  string(REPLACE "kestrune_" "" area ${target})
  if(NOT area IN_LIST KESTRUNE_LINK_ORDER)
    message(FATAL_ERROR "kestrune.pc: area ${area} missing from KESTRUNE_LINK_ORDER")
  endif()
endforeach()
set(pc_sanitize "")
if(KESTRUNE_SANITIZE STREQUAL "address")
  set(pc_sanitize " -fsanitize=address,undefined")
elseif(KESTRUNE_SANITIZE STREQUAL "thread")
  set(pc_sanitize " -fsanitize=thread")
endif()
# The .pc file finds the prefix from its own folder, so the package may be moved.
set(pc_up "/..")
string(REGEX MATCHALL "/" libdir_slashes "${CMAKE_INSTALL_LIBDIR}")
foreach(slash IN LISTS libdir_slashes)
  string(APPEND pc_up "/..")
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/kestrune.pc.in ${PROJECT_BINARY_DIR}/kestrune.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestrune.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
