# Third-party libraries of the Apple build, fetched from source and built with the project, so
# that each comes out for both architectures of the universal binary (CMAKE_OSX_ARCHITECTURES)
# and for its deployment target: package managers that install one architecture cannot serve a
# universal link. Defines what the Linux branch of dependencies.cmake defines: caretsafe_json,
# caretsafe_utf8proc, caretsafe_sha256 and CARETSAFE_SHA256_SOURCE, plus GoogleTest and Google
# Benchmark when tests or benchmarks are built.
#
# Every archive is pinned by version and SHA-256. Only nlohmann/json's headers and utf8proc's
# one source file are used; their own CMake projects are not added (SOURCE_SUBDIR names a
# folder that does not exist), which keeps the build independent of how old their
# cmake_minimum_required is.

if(CMAKE_VERSION VERSION_LESS 3.24)
  message(FATAL_ERROR "The macOS build needs CMake 3.24 or newer (found ${CMAKE_VERSION}).")
endif()

include(FetchContent)

# JSON: nlohmann/json, header-only.
FetchContent_Declare(caretsafe_nlohmann_json
  URL https://github.com/nlohmann/json/releases/download/v3.11.3/json.tar.xz
  URL_HASH SHA256=d6c65aca6b1ed68e7a182f4757257b107ae403032760ed6ef121c9d55e81757d
  DOWNLOAD_EXTRACT_TIMESTAMP TRUE
  SOURCE_SUBDIR headers-only
)

# Unicode normalisation: utf8proc, one C file (which includes its data table), built static.
FetchContent_Declare(caretsafe_utf8proc
  URL https://github.com/JuliaStrings/utf8proc/archive/refs/tags/v2.9.0.tar.gz
  URL_HASH SHA256=18c1626e9fc5a2e192311e36b3010bfc698078f692888940f1fa150547abb0c1
  DOWNLOAD_EXTRACT_TIMESTAMP TRUE
  SOURCE_SUBDIR sources-only
)

FetchContent_MakeAvailable(caretsafe_nlohmann_json caretsafe_utf8proc)

add_library(caretsafe_json INTERFACE)
target_include_directories(caretsafe_json SYSTEM INTERFACE
  ${caretsafe_nlohmann_json_SOURCE_DIR}/include)

enable_language(C)
add_library(caretsafe_utf8proc_static STATIC ${caretsafe_utf8proc_SOURCE_DIR}/utf8proc.c)
target_include_directories(caretsafe_utf8proc_static SYSTEM PUBLIC ${caretsafe_utf8proc_SOURCE_DIR})
target_compile_definitions(caretsafe_utf8proc_static PUBLIC UTF8PROC_STATIC)
add_library(caretsafe_utf8proc INTERFACE)
target_link_libraries(caretsafe_utf8proc INTERFACE caretsafe_utf8proc_static)

# SHA-256: CommonCrypto, part of libSystem, so there is nothing to link.
add_library(caretsafe_sha256 INTERFACE)
set(CARETSAFE_SHA256_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/insertion/sha256_commoncrypto.cpp)

# Tests: GoogleTest from source as well. OVERRIDE_FIND_PACKAGE makes the tests'
# find_package(GTest) take this copy and its GTest::gtest, GTest::gmock and GTest::gtest_main.
if(CARETSAFE_TESTS)
  set(INSTALL_GTEST OFF)
  FetchContent_Declare(GTest
    URL https://github.com/google/googletest/archive/refs/tags/v1.14.0.tar.gz
    URL_HASH SHA256=8ad598c73ad796e0d8280b082cebd82a630d73e73cd3c70057938a6501bba5d7
    DOWNLOAD_EXTRACT_TIMESTAMP TRUE
    OVERRIDE_FIND_PACKAGE
  )
  FetchContent_MakeAvailable(GTest)
endif()

# Benchmarks: Google Benchmark from source, for the benchmarks' find_package(benchmark).
if(CARETSAFE_BENCHMARKS)
  set(BENCHMARK_ENABLE_TESTING OFF)
  set(BENCHMARK_ENABLE_GTEST_TESTS OFF)
  set(BENCHMARK_ENABLE_INSTALL OFF)
  set(BENCHMARK_ENABLE_WERROR OFF)
  FetchContent_Declare(benchmark
    URL https://github.com/google/benchmark/archive/refs/tags/v1.8.3.tar.gz
    URL_HASH SHA256=6bc180a57d23d4d9515519f92b0c83d61b05b5bab188961f36ac7b06b0d9e9ce
    DOWNLOAD_EXTRACT_TIMESTAMP TRUE
    OVERRIDE_FIND_PACKAGE
  )
  FetchContent_MakeAvailable(benchmark)
endif()
