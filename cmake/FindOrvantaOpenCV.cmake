# Finds the two OpenCV modules the program uses (core, imgproc) without
# requiring Debian's full libopencv-dev, which is the only package that ships
# OpenCVConfig.cmake.
find_path(OrvantaOpenCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
foreach(module core imgproc)
  find_library(OrvantaOpenCV_${module}_LIBRARY opencv_${module})
endforeach()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OrvantaOpenCV REQUIRED_VARS
  OrvantaOpenCV_INCLUDE_DIR OrvantaOpenCV_core_LIBRARY OrvantaOpenCV_imgproc_LIBRARY)

if(OrvantaOpenCV_FOUND AND NOT TARGET OpenCV::core)
  foreach(module core imgproc)
    add_library(OpenCV::${module} UNKNOWN IMPORTED)
    set_target_properties(OpenCV::${module} PROPERTIES
      IMPORTED_LOCATION "${OrvantaOpenCV_${module}_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${OrvantaOpenCV_INCLUDE_DIR}")
  endforeach()
  set_property(TARGET OpenCV::imgproc APPEND PROPERTY INTERFACE_LINK_LIBRARIES OpenCV::core)
endif()
