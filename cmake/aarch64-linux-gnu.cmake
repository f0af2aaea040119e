# Cross-compiles the modules for Linux on 64-bit ARM with Debian's cross g++
# (package g++-aarch64-linux-gnu; its glibc and libstdc++ for arm64 live in
# /usr/aarch64-linux-gnu). scripts/build-wheels.sh --arch aarch64 hands it to
# scikit-build-core as `cmake.toolchain-file`, as a user's own cross build
# would:
#
#   SETUPTOOLS_EXT_SUFFIX=.cpython-314-aarch64-linux-gnu.so _PYTHON_HOST_PLATFORM=linux-aarch64 \
#   pip wheel --no-build-isolation \
#       --config-settings=cmake.toolchain-file=cmake/aarch64-linux-gnu.cmake \
#       --config-settings=cmake.define.Python_INCLUDE_DIR=<the target's headers> .
#
# The interpreter driving the build is the host's, of the same version; the
# extension suffix and the wheel's platform come from the two variables above
# (scikit-build-core reads them), the headers (pyconfig.h differs between
# architectures) from the target's include folder.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

# A compiler named in CXX (a wrapper, a cache launcher) is taken as it is.
if(NOT DEFINED ENV{CXX})
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()

# Programs are the host's; libraries and packages only the target's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
