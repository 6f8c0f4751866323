# Runs the built vbhost (through the build's emulator, if any) on the sample pictures and checks
# that the BMP files it writes are byte-identical to the ones the Linux vbhost writes, whose
# SHA-256 digests sample_bmps.txt holds:
#   cmake -DVBHOST=<vbhost> [-DEMULATOR="wine-run.sh"] -DSAMPLES_DIR=<samples/>
#         -DTABLE=<sample_bmps.txt> -DOUT_DIR=<scratch folder> [-DWINDOWS=ON]
#         [-DWRITE_TABLE=ON] -P check_vbhost_bmps.cmake
# EMULATOR is a command whose words are separated by '|'. Each table row is "sample digest" or
# "sample digest options...": rows without options are converted in one run, each other row in a
# run of its own with its options added. Every run fixes the device to the desktop the Linux
# defaults describe, so that the real device of the machine cannot change the pictures.
#
# With WINDOWS vbhost runs on the system's device (wine's desktop: a display of more than 8 bits,
# which the pictures see as the 24-bit one), as the device options do not apply there; rows
# that set the device are left out. The "full color" rows also check that vbhost puts the real registry back
# as it found it: without the value, and with an earlier value of 1 (the test gets a wine prefix
# of its own, as it writes HKEY_CURRENT_USER).
#
# After a deliberate change of a decoder or of the samples, rewrite the table from the Linux
# build with WRITE_TABLE=ON (then check the Windows build against it).
cmake_minimum_required(VERSION 3.20)

foreach(variable VBHOST SAMPLES_DIR TABLE OUT_DIR)
  if(NOT ${variable})
    message(FATAL_ERROR "check_vbhost_bmps.cmake needs -D${variable}=...")
  endif()
endforeach()
set(emulator "")
if(EMULATOR)
  string(REPLACE "|" ";" emulator "${EMULATOR}")
endif()

set(device --display-bits 24 --screen-width 640 --language 0x0409 --system-version 2.00)
set(device_options --display-bits --screen-width --language --system-version)
if(WINDOWS)
  set(device "")
endif()
set(key "HKCU\\Software\\Velbrook\\PlugIn")
set(failures "")

file(REMOVE_RECURSE "${OUT_DIR}")
file(MAKE_DIRECTORY "${OUT_DIR}")

function(run_vbhost)
  # The row's own options come last, so that they override the desktop device.
  execute_process(COMMAND ${emulator} ${VBHOST} convert ${device} --format bmp ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "vbhost convert ${ARGN} failed (${status}):\n${output}${errors}")
  endif()
endfunction()

# The "full color" value under the test key as `reg query` shows it, or "absent".
function(query_full_color out)
  execute_process(COMMAND ${emulator} reg query "${key}" /v "full color"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(status EQUAL 0 AND output MATCHES "full color[ \t]+REG_DWORD[ \t]+(0x[0-9a-fA-F]+)")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${out} "absent" PARENT_SCOPE)
  endif()
endfunction()

function(check_digest sample file expected)
  if(NOT EXISTS "${file}")
    set(failures "${failures}\n  ${sample}: no output" PARENT_SCOPE)
    return()
  endif()
  file(SHA256 "${file}" digest)
  if(WRITE_TABLE)
    file(APPEND "${TABLE}.new" "${sample} ${digest}${ARGN}\n")
  elseif(NOT digest STREQUAL expected)
    set(failures "${failures}\n  ${sample}${ARGN}: ${digest}, expected ${expected}" PARENT_SCOPE)
  endif()
endfunction()

file(STRINGS "${TABLE}" rows REGEX "^[^#]")
if(WRITE_TABLE)
  file(STRINGS "${TABLE}" comments REGEX "^#")
  list(JOIN comments "\n" header)
  file(WRITE "${TABLE}.new" "${header}\n")
endif()

# Rows without options: one run for all.
set(plain_samples "")
foreach(row IN LISTS rows)
  separate_arguments(words UNIX_COMMAND "${row}")
  list(LENGTH words count)
  if(count EQUAL 2)
    list(GET words 0 sample)
    list(APPEND plain_samples "${SAMPLES_DIR}/${sample}")
  endif()
endforeach()
if(plain_samples)
  run_vbhost(${plain_samples} -d "${OUT_DIR}/plain")
endif()

set(variant 0)
foreach(row IN LISTS rows)
  separate_arguments(words UNIX_COMMAND "${row}")
  list(POP_FRONT words sample expected)
  get_filename_component(stem "${sample}" NAME_WE)
  if(NOT words)
    check_digest("${sample}" "${OUT_DIR}/plain/${stem}.bmp" "${expected}")
    continue()
  endif()
  if(WINDOWS)
    set(sets_device FALSE)
    foreach(option IN LISTS device_options)
      if(option IN_LIST words)
        set(sets_device TRUE)
      endif()
    endforeach()
    if(sets_device)
      continue()
    endif()
  endif()
  math(EXPR variant "${variant} + 1")
  set(output "${OUT_DIR}/${variant}-${stem}.bmp")
  list(JOIN words " " shown)
  list(FIND words --full-color full_color_at)
  if(WINDOWS AND NOT full_color_at EQUAL -1)
    # No earlier value: none afterwards.
    execute_process(COMMAND ${emulator} reg delete "${key}" /v "full color" /f
      OUTPUT_QUIET ERROR_QUIET)
    run_vbhost("${SAMPLES_DIR}/${sample}" -o "${output}" ${words})
    check_digest("${sample}" "${output}" "${expected}" " ${shown}")
    query_full_color(after)
    if(NOT after STREQUAL "absent")
      set(failures "${failures}\n  ${sample} ${shown}: left \"full color\" = ${after} behind")
    endif()
    # An earlier value of 1 comes back.
    execute_process(COMMAND ${emulator} reg add "${key}" /v "full color" /t REG_DWORD /d 1 /f
      OUTPUT_QUIET ERROR_QUIET)
    file(REMOVE "${output}")
    run_vbhost("${SAMPLES_DIR}/${sample}" -o "${output}" ${words})
    check_digest("${sample}" "${output}" "${expected}" " ${shown}")
    query_full_color(after)
    if(NOT after STREQUAL "0x1")
      set(failures "${failures}\n  ${sample} ${shown}: \"full color\" was 1, is ${after} after")
    endif()
    execute_process(COMMAND ${emulator} reg delete "${key}" /v "full color" /f
      OUTPUT_QUIET ERROR_QUIET)
  else()
    run_vbhost("${SAMPLES_DIR}/${sample}" -o "${output}" ${words})
    check_digest("${sample}" "${output}" "${expected}" " ${shown}")
  endif()
endforeach()

if(WRITE_TABLE)
  file(RENAME "${TABLE}.new" "${TABLE}")
  message(STATUS "wrote ${TABLE}")
elseif(failures)
  message(FATAL_ERROR "vbhost's BMP files differ from the Linux build's:${failures}")
endif()
