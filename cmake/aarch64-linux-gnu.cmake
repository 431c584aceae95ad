# Cross build for aarch64 Linux on a Debian x86_64 machine: Debian's cross
# compiler, and the arm64 libraries and headers of dpkg multiarch
# (libcurl4-openssl-dev:arm64, zlib1g-dev:arm64, libpython3.11-dev:arm64),
# which live beside the host's under /usr.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# find_library and find_path look in /usr/lib/aarch64-linux-gnu and
# /usr/include/aarch64-linux-gnu, never in the x86_64 directories.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# pkg-config (FindCURL asks it first) must read the arm64 .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Test programs link libcurl, whose own dependencies are arm64 ones too.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,/usr/lib/aarch64-linux-gnu")
# ctest runs the test programs through the emulator.
find_program(PEMU_QEMU_AARCH64 qemu-aarch64-static)
if(PEMU_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PEMU_QEMU_AARCH64})
endif()
