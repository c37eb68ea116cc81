# The Linux adapter sits below the portable core: it includes the seam (platform/), the text
# helpers (text/) and its own files, never the core's subsystems, so that the core's order of
# requests and its checks stay the core's. Run as: cmake -DROOT=<source> -P layering.cmake
file(GLOB_RECURSE adapter_files ${ROOT}/platform/linux/*.h ${ROOT}/platform/linux/*.cpp)
set(offences "")
foreach(file IN LISTS adapter_files)
  file(STRINGS ${file} includes REGEX "^#include \"(app|probe|protocol|insertion)/")
  foreach(line IN LISTS includes)
    file(RELATIVE_PATH name ${ROOT} ${file})
    list(APPEND offences "${name}: ${line}")
  endforeach()
endforeach()
if(offences)
  list(JOIN offences "\n" text)
  message(FATAL_ERROR "the Linux adapter includes the core:\n${text}")
endif()
