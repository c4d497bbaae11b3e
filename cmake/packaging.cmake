# The installed layout, the same in the Debian package (prefix /usr) and in
# the release archives (prefix: the archive's top folder):
#   bin/kesto-pack[.exe]              the packer
#   share/kesto/x86/kesto.exe         the release stub, the packer's default
#   share/kesto/x64/kesto.exe         the x64 stub
#   share/kesto/wine/                 expand.exe and kesto-run-hidden.exe, what
#                                     kesto-pack try puts into its Wine prefix
#   share/man/man1/kesto-pack.1.gz    the manual page (Linux)
#   share/doc/kesto/guide.md          the user's guide (docs/guide.md)
#   share/doc/kesto/LICENSE           kesto's licence (zlib)
#   share/doc/kesto/copyright         the licences of kesto and of what its
#                                     binaries contain (cmake/copyright, DEP-5)
#   share/doc/kesto/BUILDINFO         the commit and toolchain (releases only)
#   lib/cmake/Kesto/                  the CMake package: find_package(Kesto)
# The packer finds its default stub from its own place (InstalledFile() in
# tools/pack/commands/shared.cpp), so these paths are fixed, not GNUInstallDirs.
if(NOT TARGET kesto-pack)
  return()  # the x86 build makes only the release stub
endif()

install(TARGETS kesto-pack RUNTIME DESTINATION bin)
foreach(arch x86 x64)
  install(FILES ${KESTO_DIST_DIR}/${arch}/kesto.exe DESTINATION share/kesto/${arch})
endforeach()
install(FILES ${KESTO_DIST_DIR}/wine/expand.exe ${KESTO_DIST_DIR}/wine/kesto-run-hidden.exe DESTINATION share/kesto/wine)
install(FILES ${PROJECT_SOURCE_DIR}/docs/guide.md ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/cmake/copyright
  DESTINATION share/doc/kesto)
# What went into a release, written by scripts/dist.sh before it installs.
install(FILES ${PROJECT_BINARY_DIR}/BUILDINFO DESTINATION share/doc/kesto OPTIONAL)

include(CMakePackageConfigHelpers)
set(kesto_config_dir ${PROJECT_BINARY_DIR}/package)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/Kesto/KestoConfig.cmake.in
  ${kesto_config_dir}/KestoConfig.cmake INSTALL_DESTINATION lib/cmake/Kesto)
# The packer runs on the build machine whatever the target, so any target
# architecture may use it; 0.x releases are compatible within a minor version.
write_basic_package_version_file(${kesto_config_dir}/KestoConfigVersion.cmake
  COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
install(FILES ${kesto_config_dir}/KestoConfig.cmake ${kesto_config_dir}/KestoConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/Kesto/KestoAddPackage.cmake DESTINATION lib/cmake/Kesto)

if(WIN32)
  return()  # the Windows archive is laid out from this build by scripts/dist.sh
endif()

# The manual page gets the version; Debian wants it compressed, without a
# name or time in the gzip header.
configure_file(${PROJECT_SOURCE_DIR}/tools/kesto-pack.1 ${kesto_config_dir}/kesto-pack.1 @ONLY)
add_custom_command(OUTPUT ${kesto_config_dir}/kesto-pack.1.gz
  COMMAND gzip -9n -f -k ${kesto_config_dir}/kesto-pack.1
  DEPENDS ${kesto_config_dir}/kesto-pack.1 VERBATIM)
add_custom_target(kesto_manual ALL DEPENDS ${kesto_config_dir}/kesto-pack.1.gz)
install(FILES ${kesto_config_dir}/kesto-pack.1.gz DESTINATION share/man/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kesto)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kesto developers <kesto@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "self-extracting package launcher for Windows: stubs and packer")
set(CPACK_PACKAGE_DESCRIPTION "kesto-pack builds, inspects and extracts kesto packages: a small Windows
launcher stub with a cabinet of files behind it, which unpacks them, runs
their entry and ends with its exit code. With the launcher stubs and a CMake
package: find_package(Kesto) and kesto_add_package().")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# dpkg-shlibdeps names the libraries the packer links (libgcab and what it needs).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# kesto-pack try runs packages under Wine, on a virtual display when there is none.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "wine, wine64, xvfb")
include(CPack)
