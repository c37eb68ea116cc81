# Typing through a Wayland compositor's virtual keyboard (libwayland-client only: the
# protocol's few requests are described in virtual_keyboard.cpp itself). Included from
# platform/linux/CMakeLists.txt; its tests (tests/linux/wayland_keys) link it too.
find_package(PkgConfig REQUIRED)
pkg_check_modules(CARETSAFE_WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)

add_library(caretsafe_wayland_keyboard STATIC
  ${CMAKE_CURRENT_LIST_DIR}/virtual_keyboard.cpp)
target_include_directories(caretsafe_wayland_keyboard PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(caretsafe_wayland_keyboard
  PUBLIC PkgConfig::CARETSAFE_WAYLAND_CLIENT
  PRIVATE caretsafe_warnings)
