# Installing the library as a package: the public headers, liblumivex, the
# CMake package (find_package(lumivex 1.2) gives lumivex::lumivex) and a
# pkg-config file. Nothing under src/ is installed.
include(CMakePackageConfigHelpers)

# The reference baker (lumivex::bake, include/lumivex/bake.h) goes with it
# where it was built.
if(TARGET lumivex_bake)
  set(LUMIVEX_HAS_BAKER ON)
  set(LUMIVEX_INSTALLED_LIBRARIES lumivex_library lumivex_bake)
  set(LUMIVEX_HEADERS_LEFT_OUT "")
else()
  set(LUMIVEX_HAS_BAKER OFF)
  set(LUMIVEX_INSTALLED_LIBRARIES lumivex_library)
  set(LUMIVEX_HEADERS_LEFT_OUT PATTERN bake.h EXCLUDE PATTERN bake_c.h EXCLUDE)
endif()
install(TARGETS ${LUMIVEX_INSTALLED_LIBRARIES} EXPORT lumivexTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/lumivex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} ${LUMIVEX_HEADERS_LEFT_OUT})

set(LUMIVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/lumivex)
install(EXPORT lumivexTargets NAMESPACE lumivex:: DESTINATION ${LUMIVEX_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/lumivexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/lumivexConfig.cmake INSTALL_DESTINATION ${LUMIVEX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/lumivexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/lumivexConfig.cmake ${PROJECT_BINARY_DIR}/lumivexConfigVersion.cmake
  DESTINATION ${LUMIVEX_CMAKE_DIR})

# pkg-config: a static library also needs the thread library and the C++
# runtime (and, for programs linked by a C compiler, the maths library the
# C++ runtime uses); a program linked with the shared one finds it where it
# was installed, wherever that is.
if(BUILD_SHARED_LIBS)
  set(LUMIVEX_PC_PRIVATE_LIBS "")
  set(LUMIVEX_PC_RUN_PATH "-Wl,-rpath,\${libdir}")
else()
  set(LUMIVEX_PC_PRIVATE_LIBS "-pthread -lstdc++ -lm")
endif()
# The prefix is found from where the file lies, so `cmake --install --prefix` anywhere works.
file(RELATIVE_PATH LUMIVEX_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" LUMIVEX_PC_TO_PREFIX "${LUMIVEX_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/lumivex.pc.in ${PROJECT_BINARY_DIR}/lumivex.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/lumivex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
