# The receivers' opus decoder: Debian's opus source (the version of the
# installed libopus0, fetched and cached by tools/opus-source.sh) built as a
# static library with custom modes and without the hardening checks, which
# abort on the terminal's 512-sample frames in the system library's decoder.
# Only receivers (paterm-server and its tests) link it: the terminal links
# the system libopus, and one program must never hold both copies of opus_*.
#
# Defines paterm_opus_custom: the library, its headers under opus/.
include(ExternalProject)

# The script answers at once when the source is cached; asking it at each
# configuration follows an update of the installed libopus0.
# -DPATERM_OPUS_SOURCE=DIR names another unpacked source.
if(NOT PATERM_OPUS_SOURCE)
  execute_process(
    COMMAND sh "${CMAKE_SOURCE_DIR}/tools/opus-source.sh"
    OUTPUT_VARIABLE PATERM_OPUS_SOURCE OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _opus_result)
  if(NOT _opus_result EQUAL 0)
    message(FATAL_ERROR "No opus source for the receivers' decoder (run sh tools/setup.sh)")
  endif()
endif()

set(_opus_prefix "${CMAKE_BINARY_DIR}/opus-custom")
set(_opus_cflags "-O2 -g ${CMAKE_C_FLAGS_INIT}")
set(_opus_host "")
if(CMAKE_CROSSCOMPILING)
  set(_opus_host "--host=${PATERM_CROSS_TRIPLET}")
endif()
if(CMAKE_GENERATOR MATCHES "Makefiles")
  set(_opus_make "$(MAKE)")
else()
  cmake_host_system_information(RESULT _opus_jobs QUERY NUMBER_OF_LOGICAL_CORES)
  set(_opus_make make -j${_opus_jobs})
endif()

ExternalProject_Add(opus_custom_build
  SOURCE_DIR "${PATERM_OPUS_SOURCE}"
  PREFIX "${_opus_prefix}"
  INSTALL_DIR "${_opus_prefix}"
  CONFIGURE_COMMAND "${PATERM_OPUS_SOURCE}/configure" --prefix=<INSTALL_DIR> ${_opus_host}
    --enable-custom-modes --disable-hardening --enable-static --disable-shared --with-pic
    --disable-doc --disable-extra-programs --disable-dependency-tracking
    "CC=${CMAKE_C_COMPILER}" "CFLAGS=${_opus_cflags}"
  BUILD_COMMAND ${_opus_make}
  INSTALL_COMMAND ${_opus_make} install
  BUILD_BYPRODUCTS "${_opus_prefix}/lib/libopus.a"
  LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON LOG_OUTPUT_ON_FAILURE ON)

# The include directory must exist when the target is defined.
file(MAKE_DIRECTORY "${_opus_prefix}/include/opus")
add_library(paterm_opus_custom STATIC IMPORTED GLOBAL)
set_target_properties(paterm_opus_custom PROPERTIES
  IMPORTED_LOCATION "${_opus_prefix}/lib/libopus.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_opus_prefix}/include"
  INTERFACE_LINK_LIBRARIES m)
add_dependencies(paterm_opus_custom opus_custom_build)
