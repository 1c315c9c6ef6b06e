# The terminal's toolchain: Debian's arm-linux-gnueabi cross compiler for
# the ARM926EJ-S userland (ARMv5TE, soft float). The C library and
# libstdc++ are the cross compiler's (/usr/arm-linux-gnueabi); every other
# library comes from a sysroot of armel packages that tools/cross-sysroot.sh
# unpacks into the build tree (PATERM_CROSS_SYSROOT, default
# BUILD/sysroot). ARM programs built here (the tests, and their discovery
# at build time) run on this machine under qemu-arm-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv5te)
set(PATERM_CROSS_TRIPLET arm-linux-gnueabi)

set(CMAKE_C_COMPILER ${PATERM_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PATERM_CROSS_TRIPLET}-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")
# -Wno-psabi: GCC notes that GCC 7.1 changed how some std::vector
# iterators are passed on ARM; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mfloat-abi=soft -Wno-psabi")

if(NOT PATERM_CROSS_SYSROOT)
  set(PATERM_CROSS_SYSROOT "${CMAKE_BINARY_DIR}/sysroot")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PATERM_CROSS_SYSROOT)
set(_sysroot_libs "${PATERM_CROSS_SYSROOT}/usr/lib/${PATERM_CROSS_TRIPLET}")
set(_sysroot_base_libs "${PATERM_CROSS_SYSROOT}/lib/${PATERM_CROSS_TRIPLET}")

# Headers, libraries and package files of the target only (never the
# host's /usr/include); programs (pkg-config, ...) of the host.
set(CMAKE_FIND_ROOT_PATH "${PATERM_CROSS_SYSROOT};/usr/${PATERM_CROSS_TRIPLET}")
set(CMAKE_LIBRARY_ARCHITECTURE ${PATERM_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian keeps some armel headers in the multiarch folder, which the cross
# compiler does not search by itself.
foreach(lang C CXX)
  set(CMAKE_${lang}_STANDARD_INCLUDE_DIRECTORIES
      "${PATERM_CROSS_SYSROOT}/usr/include/${PATERM_CROSS_TRIPLET}")
endforeach()
# Libraries' own dependencies (libz.so.1, libcrypt.so.1) sit in the sysroot.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,-rpath-link,${_sysroot_libs} -Wl,-rpath-link,${_sysroot_base_libs}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")

# ARMv5 has no 64-bit atomic instructions: std::atomic<uint64_t> calls
# libatomic (only programs that use it depend on it).
foreach(lang C CXX)
  set(CMAKE_${lang}_STANDARD_LIBRARIES "-Wl,--push-state,--as-needed -latomic -Wl,--pop-state")
endforeach()

# pkg-config sees the sysroot's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "${_sysroot_libs}/pkgconfig:${PATERM_CROSS_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# ARM programs run here through qemu: the cross C library's loader, the
# sysroot's shared libraries.
find_program(PATERM_QEMU_ARM qemu-arm-static)
if(PATERM_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${PATERM_QEMU_ARM};-L;/usr/${PATERM_CROSS_TRIPLET};-E;LD_LIBRARY_PATH=${_sysroot_libs}:${_sysroot_base_libs}")
endif()
