# The header-only libraries of the command line (CLI11 for its arguments,
# nlohmann-json for its reports), from the build machine's packages. They
# are copied into a folder of the build's own, so that the cross-build
# takes exactly these headers and never the host's whole /usr/include.
set(RD_THIRD_PARTY_SOURCE "/usr/include" CACHE PATH
    "Where the CLI11 and nlohmann-json headers are installed")
set(rd_third_party_include ${CMAKE_BINARY_DIR}/third_party/include)
foreach(dir CLI nlohmann)
  if(NOT EXISTS ${RD_THIRD_PARTY_SOURCE}/${dir})
    message(FATAL_ERROR "${RD_THIRD_PARTY_SOURCE}/${dir} is missing: run scripts/bootstrap.sh "
                        "(packages libcli11-dev and nlohmann-json3-dev)")
  endif()
  file(COPY ${RD_THIRD_PARTY_SOURCE}/${dir} DESTINATION ${rd_third_party_include})
endforeach()
add_library(rd_third_party_headers INTERFACE)
target_include_directories(rd_third_party_headers SYSTEM INTERFACE ${rd_third_party_include})
