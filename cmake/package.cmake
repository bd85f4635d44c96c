# A Debian package of digitmill, digitmill-verify and the manual page, made
# with CPack from whatever this build installs:
#
#   cmake -S . -B build-package -DDIGITMILL_NATIVE=OFF -DBUILD_TESTING=OFF
#   cmake --build build-package -j2 --target digitmill digitmill-verify
#   cd build-package && cpack
#
# Build it without native tuning, so that it starts on every processor of
# its architecture. dpkg-shlibdeps (dpkg-dev) works out the dependencies from
# the libraries that the two programs link.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME digitmill)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "digitmill")
set(CPACK_PACKAGE_CONTACT "digitmill developers <dev@digitmill.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "out-of-core benchmark computing pi to 2^M decimal digits")
set(CPACK_PACKAGE_DESCRIPTION
  "digitmill computes pi to 2^M decimal digits (M from 7 to 25, up to 33554432
digits) by the Gauss-Legendre iteration and writes them to PI.DAT. Every large
number lives on disk in work files of 4096-byte records, so memory use is the
same at every size; every product is a double-precision FFT convolution that
is checked for exactness. It prints the CPU time of each phase and the part
spent in work-file transfers.
.
digitmill-verify checks a result file against pi computed with MPFR.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# The manual pages and the changelog go in compressed, as Debian's policy
# wants them; -n keeps the name and time out of the gzip header, so that two
# builds of one source give the same package.
find_program(DIGITMILL_GZIP gzip REQUIRED)
function(digitmill_install_gzipped source name destination)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${name}.gz
    COMMAND ${DIGITMILL_GZIP} -9n -c ${source} > ${PROJECT_BINARY_DIR}/${name}.gz
    DEPENDS ${source} VERBATIM)
  add_custom_target(${name}-gz ALL DEPENDS ${PROJECT_BINARY_DIR}/${name}.gz)
  install(FILES ${PROJECT_BINARY_DIR}/${name}.gz DESTINATION ${destination})
endfunction()

set(_dm_pages digitmill)
if(TARGET digitmill-verify)
  list(APPEND _dm_pages digitmill-verify)
endif()
foreach(_page ${_dm_pages})
  configure_file(${PROJECT_SOURCE_DIR}/man/${_page}.1.in ${PROJECT_BINARY_DIR}/${_page}.1 @ONLY)
  digitmill_install_gzipped(${PROJECT_BINARY_DIR}/${_page}.1 ${_page}.1 ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
set(_dm_doc ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
digitmill_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog changelog ${_dm_doc})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${_dm_doc})
