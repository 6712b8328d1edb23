# Installation (cmake --install) and the Debian package (cpack -G DEB).
#
# Under the prefix: bin/ the command-line programs, lib/<arch>/ the shared library, include/histonorm/
# the public headers, lib/<arch>/cmake/histonorm/ the CMake package, share/histonorm/models/ the
# shipped colour models, share/histonorm/workflow/ the Snakemake workflow, share/man/man1/ the manual
# pages, share/doc/histonorm/ the copyright, the README and the examples.
include(CMakePackageConfigHelpers)

set(HISTONORM_MODEL_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/histonorm/models)
set(HISTONORM_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/histonorm)

install(TARGETS histonorm histonorm-train histonorm-sidebyside RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS histonorm_library EXPORT histonormTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/histonorm DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/models/he.model ${PROJECT_SOURCE_DIR}/data/models/hdab.model
  DESTINATION ${HISTONORM_MODEL_INSTALL_DIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/workflow/ DESTINATION ${CMAKE_INSTALL_DATADIR}/histonorm/workflow)
install(FILES ${PROJECT_SOURCE_DIR}/doc/man/histonorm.1 ${PROJECT_SOURCE_DIR}/doc/man/histonorm-slide.1
  ${PROJECT_SOURCE_DIR}/doc/man/histonorm-train.1 ${PROJECT_SOURCE_DIR}/doc/man/histonorm-sidebyside.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
set(HISTONORM_DOC_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/doc/histonorm)
install(FILES ${PROJECT_SOURCE_DIR}/doc/copyright ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${HISTONORM_DOC_INSTALL_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/python DESTINATION ${HISTONORM_DOC_INSTALL_DIR}/examples)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tests/package/consumer/ DESTINATION ${HISTONORM_DOC_INSTALL_DIR}/examples/cmake)

install(EXPORT histonormTargets NAMESPACE histonorm:: FILE histonorm-targets.cmake
  DESTINATION ${HISTONORM_CMAKE_INSTALL_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/histonorm-config.cmake.in
  ${PROJECT_BINARY_DIR}/histonorm-config.cmake
  INSTALL_DESTINATION ${HISTONORM_CMAKE_INSTALL_DIR}
  PATH_VARS HISTONORM_MODEL_INSTALL_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/histonorm-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/histonorm-config.cmake ${PROJECT_BINARY_DIR}/histonorm-config-version.cmake
  DESTINATION ${HISTONORM_CMAKE_INSTALL_DIR})

# One package with everything above and the Python module; its dependencies are the Debian runtime
# packages of the shared libraries the programs and the library load (OpenCV, dlib, LAPACK, the C++
# runtime), as dpkg-shlibdeps finds them, and Python with numpy for the module.
set(CPACK_PACKAGE_NAME histonorm)
set(CPACK_PACKAGE_VENDOR "histonorm developers")
set(CPACK_PACKAGE_CONTACT "histonorm developers <histonorm@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Colour normalisation of stained tissue images (programs and library)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Python module is installed for Debian's Python, which imports numpy for it.
if(HISTONORM_PYTHON_MODULE)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-numpy")
endif()
set(CPACK_GENERATOR DEB)
include(CPack)
