# Install rules and packages of the libraries: the public headers under include/idframework
# (detail/ plumbing left out), the libraries, a CMake package (IdFramework, targets
# IdFramework::idframework and, as the component "tls", IdFramework::idtls), pkg-config files
# (idframework, idframework-tls) and, through CPack, Debian packages (libidframework-dev,
# libidframework-tls-dev). Two install components: "framework" and "tls".
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
    set(ID_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}/${ID_INCLUDE_SUBDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(PROJECT_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
    configure_file(\"${template}\" \"${staged}\" @ONLY)" COMPONENT ${ACOMPONENT})
  install(FILES ${staged} DESTINATION ${ID_PKGCONFIG_DIR} COMPONENT ${ACOMPONENT})
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
  list(APPEND ID_PACKAGE_COMPONENTS tls)
endif()

# Debian packages, one per component: cpack -G DEB in the build folder (make package).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME idframework)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "IdFramework developers <idframework@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL ${ID_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_FRAMEWORK_PACKAGE_NAME libidframework-dev)
set(CPACK_DEBIAN_FRAMEWORK_DESCRIPTION
    "${PROJECT_DESCRIPTION}: headers, library, CMake package and pkg-config file\n"
    "A server with bindings, a listener thread per binding and a peer thread per connection,\n"
    "buffered connections with line reading, numbered replies, command handlers for line\n"
    "protocols and a SOCKS 4/4A/5 client. Uses only the C++ standard library and the OS.")
set(CPACK_DEBIAN_TLS_PACKAGE_NAME libidframework-tls-dev)
set(CPACK_DEBIAN_TLS_PACKAGE_DEPENDS
    "libidframework-dev (= ${PROJECT_VERSION}), libssl-dev (>= 3)")
set(CPACK_DEBIAN_TLS_DESCRIPTION
    "TLS for ${PROJECT_NAME} over OpenSSL 3\n"
    "TLS transports for clients and servers of the framework, and STARTTLS.")
include(CPack)
