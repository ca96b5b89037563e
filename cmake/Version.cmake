# MeasurementVersion.h, generated from the project version: the only place the SDK's version is
# written in the sources. MEASUREMENT_VERSION_INCLUDE_DIR holds it; the lowest library that reports
# the version (DirodaUtilities' logger) makes it visible to every library above.
if(PROJECT_VERSION_MINOR GREATER 99 OR PROJECT_VERSION_PATCH GREATER 99)
  message(FATAL_ERROR "The integer forms of the version keep two digits each for minor and patch: "
                      "${PROJECT_VERSION} does not fit")
endif()
math(EXPR MEASUREMENT_LIBRARY_VERSION
     "${PROJECT_VERSION_MAJOR} * 10000 + ${PROJECT_VERSION_MINOR} * 100 + ${PROJECT_VERSION_PATCH}")
math(EXPR MEASUREMENT_BUILT_IN_VERSION "${MEASUREMENT_LIBRARY_VERSION} * 1000")
set(MEASUREMENT_VERSION_INCLUDE_DIR ${PROJECT_BINARY_DIR}/generated/version)
configure_file(${CMAKE_CURRENT_LIST_DIR}/MeasurementVersion.h.in
               ${MEASUREMENT_VERSION_INCLUDE_DIR}/MeasurementVersion.h @ONLY)
