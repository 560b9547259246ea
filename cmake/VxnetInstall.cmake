# What `cmake --install` puts in a prefix, and the packages CPack makes of it:
# the public headers, the two shared libraries (with their import libraries
# and .def files on Windows), a CMake package and a pkg-config file.
# Nothing internal (vxbase, the object library, tests, tools) is installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The header's version macros are what a host compiles against; the package
# must not claim another version.
file(STRINGS ${PROJECT_SOURCE_DIR}/include/vxnet/vxnet.h VX_VERSION_LINE
     REGEX "^#define VXNET_VERSION_STRING \"[0-9.]+\"")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" VX_HEADER_VERSION "${VX_VERSION_LINE}")
if(NOT VX_HEADER_VERSION STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "include/vxnet/vxnet.h says version '${VX_HEADER_VERSION}', "
                        "the project says '${PROJECT_VERSION}'")
endif()

# The binary interface (the five exports, the pool's four functions, the slot
# order) is what the SONAME names; it changes only when that interface does.
set(VXNET_SOVERSION 1)
if(NOT WIN32)
    set_target_properties(vxnet vxmempool PROPERTIES
        VERSION ${VXNET_SOVERSION}.0.0 SOVERSION ${VXNET_SOVERSION})
endif()

# The installed libvxnet finds libvxmempool beside it, also for a host whose
# own run path does not reach the libraries' dependencies.
if(NOT WIN32)
    set_target_properties(vxnet PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
# The public header includes <winsock2.h>: hosts get its import library.
if(WIN32)
    target_link_libraries(vxnet INTERFACE ws2_32)
endif()
# The names a host links, the same inside this tree (add_subdirectory) as
# from the installed package.
add_library(vxnet::vxnet ALIAS vxnet)
add_library(vxnet::vxmempool ALIAS vxmempool)

# Hosts include <vxnet/vxnet.h>: the installed include folder is the prefix's.
target_include_directories(vxnet INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(vxmempool INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS vxnet vxmempool EXPORT vxnetTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/vxnet/vxnet.h include/vxnet/ISocketMgr.h include/vxnet/vxmempool.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vxnet)
if(WIN32)
    # Other toolchains make their own import library from these.
    install(FILES src/net/vxnet.def src/mempool/vxmempool.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

set(VX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vxnet)
install(EXPORT vxnetTargets NAMESPACE vxnet:: DESTINATION ${VX_CMAKE_DIR})
configure_package_config_file(cmake/vxnetConfig.cmake.in ${PROJECT_BINARY_DIR}/vxnetConfig.cmake
                              INSTALL_DESTINATION ${VX_CMAKE_DIR})
# Same major version: the interface of a 0.x release may still change, so
# 0.x accepts only its own minor.
if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(VX_COMPATIBILITY SameMinorVersion)
else()
    set(VX_COMPATIBILITY SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vxnetConfigVersion.cmake
                                 COMPATIBILITY ${VX_COMPATIBILITY})
install(FILES ${PROJECT_BINARY_DIR}/vxnetConfig.cmake ${PROJECT_BINARY_DIR}/vxnetConfigVersion.cmake
        DESTINATION ${VX_CMAKE_DIR})

# vxnet.pc finds its prefix from its own place, so a copy installed with
# `cmake --install --prefix DIR` or unpacked anywhere stays right.
set(VX_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH VX_PC_TO_PREFIX /${VX_PC_DIR} /)
string(REGEX REPLACE "/$" "" VX_PC_TO_PREFIX "${VX_PC_TO_PREFIX}")
configure_file(cmake/vxnet.pc.in ${PROJECT_BINARY_DIR}/vxnet.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vxnet.pc DESTINATION ${VX_PC_DIR})

# ---------------------------------------------------------------- CPack
set(CPACK_PACKAGE_NAME vxnet)
set(CPACK_PACKAGE_VENDOR "vxnet")
set(CPACK_PACKAGE_CONTACT "vxnet developers <vxnet@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Asynchronous TCP/UDP socket library with select, completion-port and window-message engines")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME "windows-${CMAKE_SYSTEM_PROCESSOR}")
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
    find_program(VX_DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(VX_DPKG_SHLIBDEPS)
        set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    endif()
endif()
include(CPack)
