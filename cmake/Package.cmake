# libmeasurement, the one library a host links, and what `cmake --install` puts in place for it: the
# headers under include/measurement, the library (static by default, shared with
# -DBUILD_SHARED_LIBS=ON), pixie-run, a CMake package (find_package(Measurement)) and measurement.pc.
#
# Every library registered with measurement_library() is part of it: a new directory needs no edit
# here. The libraries those link from outside the project (Debian packages) become the package's
# dependencies, found again in the host's build.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# What a host includes: the public API with its setup, the helpers for store transactions and
# screen views, the core platform's app configuration, the interop interface that companion
# components reach the SDK through, and the main queue and notifications the host drives. The
# headers these include, and theirs, are installed with them, each at the path it is included by;
# nothing else is. cmake/measurement.map exports what they declare.
set(MEASUREMENT_PUBLIC_HEADERS
    DUDUravodazo.h
    DUDUravodazoInterop.h
    DUDUravodazoSetup.h
    LoggedAnalyticsModifier.h
    ROREzo.h
    StoreKitTransactionLogging.h
    platform/ApplicationNotifications.h
    platform/DispatchQueue.h
    platform/NotificationCenter.h)

set(MEASUREMENT_INCLUDE_DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/measurement)
set(MEASUREMENT_CMAKE_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Measurement)
# Dependencies whose CMake package is named otherwise than their targets' namespace.
set(MEASUREMENT_PACKAGE_OF_SQLite SQLite3)

# A property of every per-directory library, each entry taken out of $<wrapper:...>, leaving out
# the libraries themselves and what only a generator expression can tell.
function(_measurement_collect property wrapper out)
  set(items "")
  foreach(lib IN LISTS MEASUREMENT_LIBRARIES)
    get_target_property(values ${lib} ${property})
    foreach(value IN LISTS values)
      string(REGEX REPLACE "^\\$<${wrapper}:(.*)>$" "\\1" value "${value}")
      if(value AND NOT value MATCHES "\\$<" AND NOT value IN_LIST MEASUREMENT_LIBRARIES)
        list(APPEND items ${value})
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES items)
  set(${out} ${items} PARENT_SCOPE)
endfunction()

# libmeasurement from the objects of every per-directory library (nothing is compiled twice), and
# measurement_internal, the per-directory libraries themselves with their internal headers, for the
# tests, the example host and the benchmarks, which reach behind the public API.
function(measurement_host_library)
  add_library(measurement_internal INTERFACE)
  target_link_libraries(measurement_internal INTERFACE ${MEASUREMENT_LIBRARIES})

  add_library(measurement)
  add_library(Measurement::measurement ALIAS measurement)
  foreach(lib IN LISTS MEASUREMENT_LIBRARIES)
    get_target_property(type ${lib} TYPE)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      target_sources(measurement PRIVATE $<TARGET_OBJECTS:${lib}>)
    endif()
  endforeach()
  _measurement_collect(INTERFACE_INCLUDE_DIRECTORIES BUILD_INTERFACE roots)
  foreach(root IN LISTS roots)
    target_include_directories(measurement PUBLIC $<BUILD_INTERFACE:${root}>)
  endforeach()
  target_include_directories(measurement PUBLIC $<INSTALL_INTERFACE:${MEASUREMENT_INCLUDE_DESTINATION}>)
  target_compile_features(measurement PUBLIC cxx_std_20)
  # The public headers need none of the dependencies' headers: a static library passes them on to
  # the host's link only, a shared one keeps them to itself.
  _measurement_collect(INTERFACE_LINK_LIBRARIES LINK_ONLY external)
  target_link_libraries(measurement PRIVATE ${external})
  set_target_properties(measurement PROPERTIES
    LINKER_LANGUAGE CXX
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  get_target_property(type measurement TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    # Only the public API is exported; the rest (and the static nanopb runtime linked in) stays
    # inside, so it cannot clash with the host's own copies.
    set(map ${PROJECT_SOURCE_DIR}/cmake/measurement.map)
    target_link_options(measurement PRIVATE "LINKER:--version-script=${map}" "LINKER:--no-undefined")
    set_property(TARGET measurement APPEND PROPERTY LINK_DEPENDS ${map})
  endif()
endfunction()

# How the host's build finds one dependency again: find_package arguments or pkg-config modules for
# the CMake package, pkg-config modules or linker flags for measurement.pc.
function(_measurement_describe_dependency target find_out requires_out libs_out)
  set(find "")
  set(requires "")
  set(libs "")
  if(target MATCHES "^PkgConfig::(.+)$")
    set(prefix ${CMAKE_MATCH_1})
    # FindPkgConfig keeps the arguments of each pkg_check_modules call.
    set(modules ${__pkg_config_arguments_${prefix}})
    list(REMOVE_ITEM modules REQUIRED QUIET IMPORTED_TARGET GLOBAL NO_CMAKE_PATH NO_CMAKE_ENVIRONMENT_PATH)
    if(NOT modules)
      message(FATAL_ERROR "libmeasurement links ${target}, whose pkg-config modules are unknown: "
                          "find it with pkg_check_modules(${prefix} REQUIRED IMPORTED_TARGET <modules>)")
    endif()
    list(JOIN modules " " module_list)
    set(find "_measurement_find_modules(${prefix} ${module_list})")
    set(requires ${modules})
  elseif(target STREQUAL "Threads::Threads")
    set(find "find_dependency(Threads)")
    set(libs -pthread)
  elseif(target MATCHES "^([^:]+)::")
    set(package ${CMAKE_MATCH_1})
    if(DEFINED MEASUREMENT_PACKAGE_OF_${package})
      set(package ${MEASUREMENT_PACKAGE_OF_${package}})
    endif()
    set(find "find_dependency(${package})")
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(location ${target} LOCATION)
      if(location)
        _measurement_link_flags(${location} libs)
      endif()
    endif()
  elseif(target MATCHES "^-")
    set(libs ${target})
  else()
    _measurement_link_flags(${target} libs)
  endif()
  set(${find_out} "${find}" PARENT_SCOPE)
  set(${requires_out} ${requires} PARENT_SCOPE)
  set(${libs_out} ${libs} PARENT_SCOPE)
endfunction()

# -l<name>, with -L<directory> when the linker would not look there by itself.
function(_measurement_link_flags library out)
  if(NOT IS_ABSOLUTE "${library}")
    set(${out} -l${library} PARENT_SCOPE)
    return()
  endif()
  get_filename_component(directory ${library} DIRECTORY)
  get_filename_component(name ${library} NAME_WE)
  string(REGEX REPLACE "^lib" "" name ${name})
  set(flags -l${name})
  if(NOT directory IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    set(flags -L${directory} ${flags})
  endif()
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

function(measurement_install)
  set(bin ${PROJECT_BINARY_DIR}/package)
  get_target_property(type measurement TYPE)

  install(TARGETS measurement EXPORT MeasurementTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET pixie-run)
    install(TARGETS pixie-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()

  _measurement_collect(INTERFACE_INCLUDE_DIRECTORIES BUILD_INTERFACE roots)
  install(CODE "set(MEASUREMENT_HEADER_ROOTS \"${roots}\")
set(MEASUREMENT_PUBLIC_HEADERS \"${MEASUREMENT_PUBLIC_HEADERS}\")
set(MEASUREMENT_HEADER_DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${MEASUREMENT_INCLUDE_DESTINATION}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/InstallHeaders.cmake\")")

  # The package's dependencies. Only a static library hands them on to the host's link; a shared
  # one needs them for its own loading alone.
  set(MEASUREMENT_FIND_DEPENDENCIES "")
  set(requires "")
  set(libs "")
  _measurement_collect(INTERFACE_LINK_LIBRARIES LINK_ONLY external)
  foreach(dep IN LISTS external)
    _measurement_describe_dependency(${dep} find dep_requires dep_libs)
    if(find AND type STREQUAL "STATIC_LIBRARY")
      string(APPEND MEASUREMENT_FIND_DEPENDENCIES "${find}\n")
    endif()
    list(APPEND requires ${dep_requires})
    list(APPEND libs ${dep_libs})
  endforeach()
  list(REMOVE_DUPLICATES requires)
  list(REMOVE_DUPLICATES libs)

  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/MeasurementConfig.cmake.in
                                ${bin}/MeasurementConfig.cmake
                                INSTALL_DESTINATION ${MEASUREMENT_CMAKE_DESTINATION})
  write_basic_package_version_file(${bin}/MeasurementConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(EXPORT MeasurementTargets NAMESPACE Measurement:: FILE MeasurementTargets.cmake
          DESTINATION ${MEASUREMENT_CMAKE_DESTINATION})
  install(FILES ${bin}/MeasurementConfig.cmake ${bin}/MeasurementConfigVersion.cmake
          DESTINATION ${MEASUREMENT_CMAKE_DESTINATION})

  # measurement.pc: a static library's dependencies are plain requirements, so that
  # pkg-config --libs links them without --static.
  file(RELATIVE_PATH MEASUREMENT_PC_PREFIX ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig
       ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" MEASUREMENT_PC_PREFIX "${MEASUREMENT_PC_PREFIX}")
  list(JOIN requires " " requires)
  list(JOIN libs " " libs)
  if(type STREQUAL "STATIC_LIBRARY")
    set(MEASUREMENT_PC_DEPENDENCIES "Requires: ${requires}\nLibs: -L\${libdir} -lmeasurement ${libs}")
  else()
    set(MEASUREMENT_PC_DEPENDENCIES
        "Requires.private: ${requires}\nLibs: -L\${libdir} -lmeasurement\nLibs.private: ${libs}")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/measurement.pc.in ${bin}/measurement.pc @ONLY)
  install(FILES ${bin}/measurement.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
