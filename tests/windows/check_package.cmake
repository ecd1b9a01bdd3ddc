cmake_minimum_required(VERSION 3.21)
# Builds the release package the way `--target package` does and checks it:
# exactly the expected files (no BLE library among them), and programs that
# import nothing but DLLs every Windows has.
# cmake -DCPACK=... -DCONFIG=.../CPackConfig.cmake -DWORK=DIR -DOBJDUMP=...
#       -DEXPECTED="a|b" -P check_package.cmake
set(system_dlls
  kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll shell32.dll ole32.dll
  oleaut32.dll advapi32.dll winmm.dll msvcrt.dll shlwapi.dll uxtheme.dll)

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CPACK} --config ${CONFIG} -B ${WORK}
                RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(failed)
  message(FATAL_ERROR "cpack failed:\n${out}")
endif()
file(GLOB zips ${WORK}/*.zip)
list(LENGTH zips count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one package, found: ${zips}")
endif()
get_filename_component(zip_name ${zips} NAME)
message(STATUS "package ${zip_name}")

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zips} OUTPUT_VARIABLE listing
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot list ${zips}")
endif()
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" files "${listing}")
list(SORT files)
string(REPLACE "|" ";" expected "${EXPECTED}")
list(SORT expected)
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "package holds\n  ${files}\nexpected\n  ${expected}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zips} WORKING_DIRECTORY ${WORK})
foreach(file ${files})
  if(NOT file MATCHES "\\.(exe|dll)$")
    continue()
  endif()
  execute_process(COMMAND ${OBJDUMP} -p ${WORK}/${file} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${OBJDUMP} -p ${file} failed")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  foreach(import ${imports})
    string(REGEX REPLACE "DLL Name: " "" dll "${import}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" dll)
    if(NOT dll IN_LIST system_dlls AND NOT dll MATCHES "^api-ms-win-")
      message(FATAL_ERROR "${file} imports ${dll}, which a Windows PC does not have")
    endif()
    message(STATUS "${file} imports ${dll}")
  endforeach()
endforeach()
