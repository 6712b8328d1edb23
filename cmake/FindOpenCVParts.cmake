# Locates the three OpenCV 4 modules the project uses (core, imgcodecs, imgproc) as installed by
# Debian's split -dev packages, which ship neither a CMake package file nor a pkg-config file.
# Defines the imported targets OpenCV::core, OpenCV::imgcodecs and OpenCV::imgproc.
find_path(OpenCVParts_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
foreach(module core imgproc imgcodecs)
  find_library(OpenCVParts_${module}_LIBRARY opencv_${module} REQUIRED)
  if(NOT TARGET OpenCV::${module})
    add_library(OpenCV::${module} UNKNOWN IMPORTED)
    set_target_properties(OpenCV::${module} PROPERTIES
      IMPORTED_LOCATION "${OpenCVParts_${module}_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${OpenCVParts_INCLUDE_DIR}")
  endif()
endforeach()
set_property(TARGET OpenCV::imgproc APPEND PROPERTY INTERFACE_LINK_LIBRARIES OpenCV::core)
set_property(TARGET OpenCV::imgcodecs APPEND PROPERTY INTERFACE_LINK_LIBRARIES OpenCV::imgproc OpenCV::core)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenCVParts REQUIRED_VARS OpenCVParts_INCLUDE_DIR OpenCVParts_core_LIBRARY)
