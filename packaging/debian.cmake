# Debian packages of one build, made by `cpack -G DEB` (scripts/package-deb):
#
#   libkelresmgr1     runtime: libKELResMgr.so.1 and libKELPlatform.so.1
#   libkelresmgr-dev  dev: the header, the unversioned links, the CMake and pkg-config files
#   kelres            tool: kelres and its manual page
#
# The shared-library dependencies are computed by dpkg-shlibdeps. kelres loads libKELResMgr.so.1
# at run time, which no tool can see, so its dependency on the run-time package is written here.
set(CPACK_PACKAGE_NAME KELResMgr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KELResMgr developers <kelresmgr@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "resource manager library of the desktop client")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION})
# kelres links libKELPlatform.so.1 of the run-time package, which is not installed on the build
# machine: dpkg-shlibdeps finds it where cpack (run in the build folder) lays that package out.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/${CPACK_PACKAGE_FILE_NAME}/runtime${CMAKE_INSTALL_FULL_LIBDIR})

set(_kelres_runtime_package libkelresmgr1)
set(_kelres_same_runtime "${_kelres_runtime_package} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_kelres_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)  # only the run-time package has libraries
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "KELResMgr, the resource manager library of the desktop client
The library downloads resource packages from the media server, unpacks them,
and serves the catalogue service and uploads; with its platform library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkelresmgr-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ${_kelres_same_runtime})
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "KELResMgr, development files
The public header, the unversioned library links, the CMake package
(find_package(KELResMgr)) and the pkg-config file (KELResMgr.pc).")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME kelres)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS ${_kelres_same_runtime})
set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "command-line host of the KELResMgr library
kelres loads the library as the desktop client does and drives it: downloads,
catalogue queries, uploads, settings; it also packs and publishes packages.")

include(CPack)
