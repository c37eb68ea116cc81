# The client of the compositor's IPC socket (sway and the compositors that speak its protocol):
# the focused window, its process and application id. No Wayland library is needed for it.
add_library(caretsafe_sway_ipc STATIC ${CMAKE_CURRENT_LIST_DIR}/sway_ipc.cpp)
target_include_directories(caretsafe_sway_ipc PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(caretsafe_sway_ipc PUBLIC caretsafe_json PRIVATE caretsafe_warnings)
