# Cross-building the Mac helper on a Linux machine with LLVM's tools (Debian packages clang,
# lld and llvm): clang for every language, ld64.lld as the linker, llvm-libtool-darwin for
# static libraries holding both architectures, llvm-lipo for the universal executable.
#
# The macOS SDK (headers and .tbd link stubs) is not part of this project: name its folder in
# CMAKE_OSX_SYSROOT, or in the environment variable MACOS_SDK. scripts/mac-sdk-check.sh drives
# this file; on a Mac none of it is needed.
#
#   cmake -S . -B build-mac -G Ninja -DCMAKE_BUILD_TYPE=Release -DCARETSAFE_TESTS=OFF \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/darwin-toolchain.cmake -DCMAKE_OSX_SYSROOT=<sdk>

set(CMAKE_SYSTEM_NAME Darwin)
# The version of Darwin that macOS 11 is; CMake only records it.
set(CMAKE_SYSTEM_VERSION 20)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

if(NOT CMAKE_OSX_SYSROOT AND DEFINED ENV{MACOS_SDK})
  set(CMAKE_OSX_SYSROOT "$ENV{MACOS_SDK}" CACHE PATH "The macOS SDK's folder")
endif()
if(NOT CMAKE_OSX_SYSROOT OR NOT EXISTS "${CMAKE_OSX_SYSROOT}/usr/include/c++/v1")
  message(FATAL_ERROR "darwin-toolchain: CMAKE_OSX_SYSROOT (or MACOS_SDK) must name a macOS "
                      "SDK folder, one holding usr/include/c++/v1 (given: '${CMAKE_OSX_SYSROOT}')")
endif()

# The same defaults as a configure on a Mac (the top-level CMakeLists.txt sets them there).
set(CMAKE_OSX_ARCHITECTURES "arm64;x86_64" CACHE STRING "Architectures of the universal binary")
set(CMAKE_OSX_DEPLOYMENT_TARGET "11.0" CACHE STRING "Oldest macOS the helper supports")

# Debian names LLVM's tools with their version; the unversioned names are taken when present.
set(_darwin_llvm_hints /usr/lib/llvm-16/bin /usr/lib/llvm-15/bin /usr/lib/llvm-14/bin)
find_program(CMAKE_C_COMPILER NAMES clang clang-16 clang-15 clang-14 HINTS ${_darwin_llvm_hints}
             REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++ clang++-16 clang++-15 clang++-14
             HINTS ${_darwin_llvm_hints} REQUIRED)
set(CMAKE_OBJCXX_COMPILER "${CMAKE_CXX_COMPILER}")
find_program(CARETSAFE_LD64 NAMES ld64.lld ld64.lld-16 ld64.lld-15 ld64.lld-14
             HINTS ${_darwin_llvm_hints} REQUIRED)
find_program(CARETSAFE_LIBTOOL_DARWIN NAMES llvm-libtool-darwin llvm-libtool-darwin-16
             llvm-libtool-darwin-15 llvm-libtool-darwin-14 HINTS ${_darwin_llvm_hints} REQUIRED)
find_program(CMAKE_LIPO NAMES llvm-lipo llvm-lipo-16 llvm-lipo-15 llvm-lipo-14
             HINTS ${_darwin_llvm_hints} REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool llvm-install-name-tool-14
             HINTS ${_darwin_llvm_hints})

foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_COMPILER_TARGET "x86_64-apple-macos${CMAKE_OSX_DEPLOYMENT_TARGET}")
  # A static library holds objects of both architectures: Darwin's libtool writes one archive
  # per architecture inside a universal file, which an archiver for one format cannot.
  set(CMAKE_${lang}_CREATE_STATIC_LIBRARY
      "\"${CARETSAFE_LIBTOOL_DARWIN}\" -static -o <TARGET> <LINK_FLAGS> <OBJECTS>")
endforeach()

# The SDK's own libc++, which the macOS the helper runs on provides. clang takes the libc++
# headers beside itself before the SDK's, so a libc++ installed for this machine's clang would
# be compiled against in their place: refused rather than silently mixed.
get_filename_component(_darwin_clang_bin "${CMAKE_CXX_COMPILER}" REALPATH)
get_filename_component(_darwin_clang_bin "${_darwin_clang_bin}" DIRECTORY)
if(EXISTS "${_darwin_clang_bin}/../include/c++/v1")
  message(FATAL_ERROR "darwin-toolchain: ${_darwin_clang_bin}/../include/c++/v1 exists (a libc++ "
                      "for this machine); clang would take it before the SDK's")
endif()
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_OBJCXX_FLAGS_INIT "-stdlib=libc++")

# The linker of Apple's format, told the linker version that makes clang pass the platform and
# SDK versions in the form it understands. clang links each architecture on its own and joins
# them with a program called lipo, which it looks for beside itself and on PATH:
# scripts/mac-sdk-check.sh puts llvm-lipo there under that name.
set(_darwin_link_flags "-fuse-ld=${CARETSAFE_LD64} -mlinker-version=609")
# An umbrella framework's stub lists the frameworks whose symbols it passes on; the public SDK
# copy used for the check lost those lists, so the frameworks behind the umbrellas that the
# helper links are named as well. The executable then loads them by their own names, which
# macOS resolves as it does through the umbrella. An SDK from Xcode keeps the lists and needs
# nothing here.
set(_darwin_frameworks "${CMAKE_OSX_SYSROOT}/System/Library/Frameworks")
file(READ "${_darwin_frameworks}/ApplicationServices.framework/ApplicationServices.tbd"
     _darwin_umbrella_stub)
if(NOT _darwin_umbrella_stub MATCHES "reexported-libraries")
  string(APPEND _darwin_link_flags
         " -F${_darwin_frameworks}/ApplicationServices.framework/Frameworks"
         " -F${_darwin_frameworks}/Carbon.framework/Frameworks"
         " -framework HIServices -framework CoreGraphics -framework HIToolbox"
         " -framework Foundation")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_darwin_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_darwin_link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_darwin_link_flags}")

# Libraries and headers come from the SDK only, never from this machine.
set(CMAKE_FIND_ROOT_PATH "${CMAKE_OSX_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
