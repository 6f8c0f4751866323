# Installs the build into a fresh prefix and runs the installed vbhost from there, with no
# environment variable pointing at the build or the plug-ins:
#   cmake -DBUILD_DIR=<build> -DPREFIX=<scratch folder> -DSAMPLES_DIR=<samples/>
#         -P check_install.cmake
cmake_minimum_required(VERSION 3.20)

foreach(variable BUILD_DIR PREFIX SAMPLES_DIR)
  if(NOT ${variable})
    message(FATAL_ERROR "check_install.cmake needs -D${variable}=...")
  endif()
endforeach()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${output}${errors}")
endif()

foreach(file bin/vbhost lib/velbrook/vbtga.spi lib/velbrook/vbpcx.spi lib/velbrook/vbmag.spi
    lib/velbrook/libvbplatform.so lib/velbrook/KJMAP.DLL)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "cmake --install left out ${file}")
  endif()
endforeach()

# Run from another folder, so that nothing is found by being in the current one.
set(run ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=VB_LIBRARY_PATH
  --unset=VB_REGISTRY "${PREFIX}/bin/vbhost")
execute_process(COMMAND ${run} plugins WORKING_DIRECTORY "${PREFIX}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT output MATCHES "vbmag\\.spi.*vbpcx\\.spi.*vbtga\\.spi")
  message(FATAL_ERROR "the installed vbhost does not find its plug-ins (${status}):\n"
    "${output}${errors}")
endif()

file(GLOB samples "${SAMPLES_DIR}/*.tga" "${SAMPLES_DIR}/*.pcx" "${SAMPLES_DIR}/*.mag")
execute_process(COMMAND ${run} convert ${samples} -d "${PREFIX}/out" WORKING_DIRECTORY "${PREFIX}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed vbhost cannot convert the samples (${status}):\n"
    "${output}${errors}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
