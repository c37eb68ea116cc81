# Third-party libraries. On Linux they come from the distribution's packages; on Apple the
# universal build fetches them from source (cmake/apple_dependencies.cmake), since
# single-architecture package managers cannot serve a universal link. Either way the same
# targets come out: caretsafe_json, caretsafe_utf8proc, caretsafe_sha256 and
# CARETSAFE_SHA256_SOURCE.

if(APPLE)
  include(${CMAKE_CURRENT_LIST_DIR}/apple_dependencies.cmake)
  return()
endif()

find_package(nlohmann_json 3.10 REQUIRED)
add_library(caretsafe_json INTERFACE)
target_link_libraries(caretsafe_json INTERFACE nlohmann_json::nlohmann_json)

find_package(PkgConfig REQUIRED)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
add_library(caretsafe_utf8proc INTERFACE)
target_link_libraries(caretsafe_utf8proc INTERFACE PkgConfig::UTF8PROC)

# SHA-256: OpenSSL's libcrypto (CommonCrypto on Apple), behind insertion/sha256.h.
add_library(caretsafe_sha256 INTERFACE)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
target_link_libraries(caretsafe_sha256 INTERFACE OpenSSL::Crypto)
set(CARETSAFE_SHA256_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/insertion/sha256_openssl.cpp)
