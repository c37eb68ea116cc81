# Compiles one file for syntax and types only (clang++ -fsyntax-only), the way the macOS build
# would, against the stand-in SDK headers in sdk/ and, for Objective-C++, Debian's GNUstep
# Foundation and AppKit headers. Run by CTest (see CMakeLists.txt) as
#   cmake -DFILE=… -DMODE=c++|objective-c++|unknown -DCLANGXX=… -DSOURCE_DIR=… -DSDK_DIR=…
#         -DGNUSTEP_INCLUDE=… -DGCC_INCLUDE=… -DFLAGS=a|b|… -DEXTRA=a|b|… -P syntax_check.cmake
# Lists are joined with | so that they pass through add_test as one argument each.
#
# A missing tool makes the check report "CARETSAFE-SKIPPED" (CTest then marks it skipped),
# except on CI (the CI environment variable is set), where the check must really run.

macro(skip_or_fail why)
  if(DEFINED ENV{CI})
    message(FATAL_ERROR "${why}; on CI the macOS sources must be checked, so this is a failure")
  endif()
  message("CARETSAFE-SKIPPED: ${why}")
  return()
endmacro()

if(MODE STREQUAL "unknown")
  message(FATAL_ERROR "${FILE}: no syntax check is defined for this kind of file; add one in "
                      "tests/macos/CMakeLists.txt")
endif()

if(NOT CLANGXX OR NOT EXISTS "${CLANGXX}")
  skip_or_fail("clang++ was not found")
endif()

string(REPLACE "|" ";" flags "${FLAGS}")
string(REPLACE "|" ";" extra "${EXTRA}")

set(command ${CLANGXX} -fsyntax-only -std=c++20 ${flags} ${extra})
if(MODE STREQUAL "objective-c++")
  if(NOT EXISTS "${GNUSTEP_INCLUDE}/AppKit/AppKit.h")
    skip_or_fail("GNUstep's AppKit headers were not found (libgnustep-gui-dev)")
  endif()
  if(NOT EXISTS "${GCC_INCLUDE}/objc/objc.h")
    skip_or_fail("the Objective-C runtime header objc/objc.h was not found in gcc's include folder")
  endif()
  # GNUstep's headers in the GCC runtime's dialect; gcc's own folder comes last, only for the
  # runtime headers that clang does not ship.
  list(APPEND command -x objective-c++ -fobjc-runtime=gcc -DGNUSTEP -DGNUSTEP_BASE_LIBRARY=1
       -DGNU_GUI_LIBRARY=1 -DGNU_RUNTIME=1 -fobjc-exceptions
       -fconstant-string-class=NSConstantString -isystem ${GNUSTEP_INCLUDE}
       -idirafter ${GCC_INCLUDE})
elseif(FILE MATCHES "\\.h$")
  list(APPEND command -x c++-header)
else()
  list(APPEND command -x c++)
endif()
list(APPEND command -isystem ${SDK_DIR} -I${SOURCE_DIR} ${FILE})

list(JOIN command " " shown)
message("${shown}")
execute_process(COMMAND ${command} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FILE} does not compile against the macOS interfaces")
endif()
message("${FILE}: checked (${MODE})")
