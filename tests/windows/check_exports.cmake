# Checks the PE export and import tables of the built modules with objdump -p:
#   cmake -DOBJDUMP=<objdump> -DMODULE_DIR=<folder> -DFORMAT=<pei-i386|pei-x86-64>
#         -P check_exports.cmake
# Every module (and vbhost.exe) is a PE file of FORMAT. Each plug-in names itself vbxxx.spi in its
# export directory and exports exactly GetPicture, GetPreview, IsSupported, GetPictureInfo and
# GetPluginInfo at ordinals 1 to 5, undecorated (no @N, no leading underscore); KJMAP.DLL exports
# its three entry points, and the shipped vbplatform.dll the platform functions and nothing of the
# testing interface. No module needs the compiler's runtime DLLs beside it.
cmake_minimum_required(VERSION 3.20)

if(NOT OBJDUMP OR NOT MODULE_DIR OR NOT FORMAT)
  message(FATAL_ERROR
    "usage: cmake -DOBJDUMP=... -DMODULE_DIR=... -DFORMAT=... -P check_exports.cmake")
endif()

set(failures "")

# Reads the export directory of `file`: the module name, the ordinal base and "ordinal:name"
# pairs sorted by ordinal; the names of the DLLs it imports from; and objdump's file format.
function(read_pe_tables file out_name out_exports out_imports out_format)
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${file} failed")
  endif()
  string(REPLACE "\n" ";" lines "${dump}")
  set(name "")
  set(base 0)
  set(section "")
  set(absolute FALSE)
  set(exports "")
  set(imports "")
  set(format "")
  foreach(line IN LISTS lines)
    if(line MATCHES "file format ([^ \t]+)$")
      set(format "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^Name[ \t]+[0-9a-fA-F]+ (.+)$")
      set(name "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^Ordinal Base[ \t]+([0-9]+)")
      set(base ${CMAKE_MATCH_1})
    elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(section names)
      # Newer objdump prints the ordinals themselves and says so in the heading.
      if(line MATCHES "Ordinal Base")
        set(absolute TRUE)
      endif()
    elseif(section STREQUAL "names" AND line MATCHES "^[ \t]+\\[[ ]*([0-9]+)\\] ([A-Za-z0-9_@?$]+)")
      set(ordinal ${CMAKE_MATCH_1})
      if(NOT absolute)
        math(EXPR ordinal "${ordinal} + ${base}")
      endif()
      list(APPEND exports "${ordinal}:${CMAKE_MATCH_2}")
    elseif(section STREQUAL "names" AND line STREQUAL "")
      set(section "")
    elseif(line MATCHES "DLL Name: (.+)$")
      string(TOLOWER "${CMAKE_MATCH_1}" dll)
      list(APPEND imports "${dll}")
    endif()
  endforeach()
  list(SORT exports COMPARE NATURAL)
  set(${out_name} "${name}" PARENT_SCOPE)
  set(${out_exports} "${exports}" PARENT_SCOPE)
  set(${out_imports} "${imports}" PARENT_SCOPE)
  set(${out_format} "${format}" PARENT_SCOPE)
endfunction()

# DLLs that come with every Windows system, and the project's own platform library.
set(allowed_imports kernel32.dll user32.dll gdi32.dll advapi32.dll msvcrt.dll vbplatform.dll)

function(check_module file expected_name expected_exports)
  if(NOT EXISTS ${file})
    set(failures "${failures}\n${file}: missing" PARENT_SCOPE)
    return()
  endif()
  read_pe_tables(${file} name exports imports format)
  set(problems "")
  if(NOT format STREQUAL FORMAT)
    string(APPEND problems "\n  is a ${format} file, expected ${FORMAT}")
  endif()
  if(NOT name STREQUAL expected_name)
    string(APPEND problems "\n  module name is \"${name}\", expected \"${expected_name}\"")
  endif()
  if(NOT exports STREQUAL expected_exports)
    string(APPEND problems "\n  exports are \"${exports}\", expected \"${expected_exports}\"")
  endif()
  foreach(dll IN LISTS imports)
    if(NOT dll IN_LIST allowed_imports AND NOT dll MATCHES "^api-ms-win-")
      string(APPEND problems "\n  imports ${dll}, which is not on every system")
    endif()
  endforeach()
  if(problems)
    set(failures "${failures}\n${file}:${problems}" PARENT_SCOPE)
  else()
    message(STATUS "${file}: ${format} ${name}, ${exports}; imports ${imports}")
  endif()
endfunction()

set(plugin_exports "1:GetPicture;2:GetPreview;3:IsSupported;4:GetPictureInfo;5:GetPluginInfo")
foreach(plugin vbtga vbpcx vbmag)
  check_module(${MODULE_DIR}/${plugin}.spi ${plugin}.spi "${plugin_exports}")
endforeach()
# KJMAP.DLL is looked up by name only; the linker numbers its entry points alphabetically.
check_module(${MODULE_DIR}/KJMAP.DLL KJMAP.DLL "1:jis2unicode;2:sjis2unicode;3:unicode2sjis")
set(platform_functions AllocateBlock CloseFile CloseRegistryKey FindLibrarySymbol
  FindModuleResource FreeBlock LoadLibraryByName LoadModuleResource LoadStringResource
  OpenFileForReading OpenRegistryKey QueryDefaultLanguage QueryDisplayBitsPerPixel
  QueryRegistryValue QueryScreenWidth QuerySystemVersion ReadFileBytes SetFilePosition
  SystemCodePageToWide WideToSystemCodePage)
set(platform_exports "")
set(ordinal 0)
foreach(function IN LISTS platform_functions)
  math(EXPR ordinal "${ordinal} + 1")
  list(APPEND platform_exports "${ordinal}:${function}")
endforeach()
check_module(${MODULE_DIR}/vbplatform.dll vbplatform.dll "${platform_exports}")

if(EXISTS ${MODULE_DIR}/vbhost.exe)
  read_pe_tables(${MODULE_DIR}/vbhost.exe name exports imports format)
  if(NOT format STREQUAL FORMAT)
    set(failures "${failures}\n${MODULE_DIR}/vbhost.exe: is a ${format} file, expected ${FORMAT}")
  endif()
endif()

if(failures)
  message(FATAL_ERROR "export or import tables are wrong:${failures}")
endif()
