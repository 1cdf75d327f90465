# libyuv ships no pkg-config or CMake file on Debian: LibYuv::LibYuv is made from its header and
# library. Included by the build and by the installed package config alike.
if(NOT TARGET LibYuv::LibYuv)
  find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
  find_library(LIBYUV_LIBRARY NAMES yuv REQUIRED)
  add_library(LibYuv::LibYuv UNKNOWN IMPORTED)
  set_target_properties(LibYuv::LibYuv PROPERTIES
    IMPORTED_LOCATION "${LIBYUV_LIBRARY}" INTERFACE_INCLUDE_DIRECTORIES "${LIBYUV_INCLUDE_DIR}")
endif()
