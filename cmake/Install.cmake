# SPDX-License-Identifier: MIT
# Install rules and packages of the libraries: the public headers under include/idframework
# (detail/ plumbing left out), the libraries, a CMake package (IdFramework, targets
# IdFramework::idframework and, as the component "tls", IdFramework::idtls), pkg-config files
# (idframework, idframework-tls), the licence and changelog of each package, with ID_BUILD_DOCS
# the API reference and the guide, and, through CPack, Debian packages (libidframework-dev,
# libidframework-tls-dev, libidframework-doc). Install components: "framework", "tls", "doc".
include(CMakePackageConfigHelpers)

set(ID_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/IdFramework)
set(ID_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Public headers of a folder, keeping their paths below the include prefix.
function(id_install_headers ACOMPONENT)
  foreach(dir ${ARGN})
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/
            DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${ID_INCLUDE_SUBDIR}/${dir}
            COMPONENT ${ACOMPONENT} FILES_MATCHING PATTERN "*.h" PATTERN "detail" EXCLUDE)
  endforeach()
endfunction()

# A pkg-config file written at install time, so that its prefix is the one installed into
# (cmake --install --prefix, or the package's /usr).
function(id_install_pkgconfig ACOMPONENT ANAME)
  set(template ${PROJECT_SOURCE_DIR}/cmake/${ANAME}.pc.in)
  set(staged ${PROJECT_BINARY_DIR}/pkgconfig/${ANAME}.pc)
  install(CODE "
    set(ID_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(ID_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(ID_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(PROJECT_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
    configure_file(\"${template}\" \"${staged}\" @ONLY)" COMPONENT ${ACOMPONENT})
  install(FILES ${staged} DESTINATION ${ID_PKGCONFIG_DIR} COMPONENT ${ACOMPONENT})
endfunction()

# The licence in Debian's machine-readable form and the changelog, gzipped without a time stamp,
# made at configure time into the build folder.
set(ID_PACKAGE_MAINTAINER "The IdFramework developers <maintainers@idframework.invalid>"
    CACHE STRING "The packages' maintainer (name and mail address)")
set(ID_DEBIAN_DIR ${PROJECT_BINARY_DIR}/debian)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE id_license)
string(REGEX REPLACE "^MIT License\n\nCopyright[^\n]*\n\n" "" id_license "${id_license}")
string(REGEX REPLACE "\n+$" "" id_license "${id_license}")
string(REGEX REPLACE "\n\n" "\n.\n" id_license "${id_license}")
string(REPLACE "\n" "\n " id_license "${id_license}")
set(ID_LICENSE_TEXT " ${id_license}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in ${ID_DEBIAN_DIR}/copyright @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog ${ID_DEBIAN_DIR}/changelog COPYONLY)
execute_process(COMMAND gzip -9nf ${ID_DEBIAN_DIR}/changelog RESULT_VARIABLE id_gzip)
if(NOT id_gzip EQUAL 0)
  message(FATAL_ERROR "gzip failed on the packages' changelog")
endif()
unset(id_license)
unset(id_gzip)

# A package's copyright and changelog, under share/doc/APACKAGE.
function(id_install_package_docs ACOMPONENT APACKAGE)
  install(FILES ${ID_DEBIAN_DIR}/copyright ${ID_DEBIAN_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${APACKAGE} COMPONENT ${ACOMPONENT})
endfunction()

# The framework.
install(TARGETS idframework EXPORT IdFrameworkTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT framework
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT framework
                NAMELINK_COMPONENT framework
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT framework)
id_install_headers(framework ${ID_FRAMEWORK_DIRS})
install(EXPORT IdFrameworkTargets NAMESPACE IdFramework:: DESTINATION ${ID_CMAKE_DIR}
        COMPONENT framework)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/IdFrameworkConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/IdFrameworkConfig.cmake
                              INSTALL_DESTINATION ${ID_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/IdFrameworkConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/IdFrameworkConfig.cmake
              ${PROJECT_BINARY_DIR}/IdFrameworkConfigVersion.cmake
        DESTINATION ${ID_CMAKE_DIR} COMPONENT framework)
id_install_pkgconfig(framework idframework)
id_install_package_docs(framework libidframework-dev)
set(ID_PACKAGE_COMPONENTS framework)

# The TLS library, where it is built.
if(TARGET idtls)
  install(TARGETS idtls EXPORT IdFrameworkTLSTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tls
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tls NAMELINK_COMPONENT tls
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tls)
  id_install_headers(tls tls)
  install(EXPORT IdFrameworkTLSTargets NAMESPACE IdFramework:: DESTINATION ${ID_CMAKE_DIR}
          COMPONENT tls)
  id_install_pkgconfig(tls idframework-tls)
  id_install_package_docs(tls libidframework-tls-dev)
  list(APPEND ID_PACKAGE_COMPONENTS tls)
endif()

# The API reference (doxygen, warnings fail the build) and the guide, where they are built.
if(TARGET iddocs)
  install(DIRECTORY ${ID_DOCS_HTML_DIR}/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libidframework-doc/html
          COMPONENT doc)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/guide.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libidframework-doc COMPONENT doc)
  id_install_package_docs(doc libidframework-doc)
  list(APPEND ID_PACKAGE_COMPONENTS doc)
endif()

# Debian packages, one per component: cpack -G DEB in the build folder (make package). Each
# description is one text: its first line the synopsis, the rest the extended description.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME idframework)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ID_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ID_PACKAGE_MAINTAINER}")
# CPack puts a summary of its own before each description unless it is CPack's default text.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL ${ID_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_FRAMEWORK_PACKAGE_NAME libidframework-dev)
set(CPACK_DEBIAN_FRAMEWORK_PACKAGE_SUGGESTS libidframework-doc)
set(CPACK_DEBIAN_FRAMEWORK_DESCRIPTION "\
blocking-socket TCP server framework for C++20
A server with bindings, a listener thread per binding and a peer thread per
connection, buffered connections with line reading, numbered replies, command
handlers for line protocols and a SOCKS 4/4A/5 client. It uses only the C++
standard library and the operating system.
.
This package holds the headers, the static library, the CMake package and the
pkg-config file.")

set(CPACK_DEBIAN_TLS_PACKAGE_NAME libidframework-tls-dev)
set(CPACK_DEBIAN_TLS_PACKAGE_DEPENDS
    "libidframework-dev (= ${PROJECT_VERSION}), libssl-dev (>= 3)")
set(CPACK_DEBIAN_TLS_DESCRIPTION "\
TLS over OpenSSL 3 for the IdFramework TCP server framework
TLS transports for the framework's clients and servers, STARTTLS, certificates
chosen by server name, client session resumption and checks of the peer's
certificate.
.
This package holds the headers, the static library and the pkg-config file.")

set(CPACK_DEBIAN_DOC_PACKAGE_NAME libidframework-doc)
set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DOC_PACKAGE_SECTION doc)
set(CPACK_DEBIAN_DOC_DESCRIPTION "\
documentation of the IdFramework TCP server framework
The API reference in HTML and the guide (a minimal server, a line protocol, a
client, per-connection state, time limits, shutdown and errors) of the
blocking-socket TCP server framework for C++20.")
include(CPack)
