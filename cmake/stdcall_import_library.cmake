# Makes the import library of a DLL linked with --kill-at, whose export names lack the @N that
# the compiler gives __stdcall functions on 32-bit x86:
#   cmake -DDLLTOOL=<dlltool> -DLINKER_DEF=<def> -DDLL_NAME=<name.dll> -DIMPORT_LIBRARY=<lib.a>
#         -P stdcall_import_library.cmake
# LINKER_DEF is what the linker wrote with --output-def ("AllocateBlock = AllocateBlock@4 @1").
# Importers refer to AllocateBlock@4; dlltool --kill-at makes a library that defines that symbol
# and imports the name AllocateBlock, which is the one the DLL exports.
cmake_minimum_required(VERSION 3.20)

if(NOT DLLTOOL OR NOT LINKER_DEF OR NOT DLL_NAME OR NOT IMPORT_LIBRARY)
  message(FATAL_ERROR "usage: cmake -DDLLTOOL=... -DLINKER_DEF=... -DDLL_NAME=... "
    "-DIMPORT_LIBRARY=... -P stdcall_import_library.cmake")
endif()

file(STRINGS ${LINKER_DEF} lines)
set(exports "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]+([A-Za-z0-9_]+) = ([A-Za-z0-9_]+@[0-9]+)( @[0-9]+)?")
    set(name ${CMAKE_MATCH_1})
    set(symbol ${CMAKE_MATCH_2})
    set(ordinal "${CMAKE_MATCH_3}")
    if(NOT symbol MATCHES "^${name}@")
      message(FATAL_ERROR "${LINKER_DEF}: ${name} is bound to ${symbol}")
    endif()
    string(APPEND exports "    ${symbol}${ordinal}\n")
  elseif(line MATCHES "^[ \t]+([A-Za-z0-9_]+)( @[0-9]+)?")
    # Not __stdcall (data, or a function of the C convention): the name as it is.
    string(APPEND exports "    ${CMAKE_MATCH_1}${CMAKE_MATCH_2}\n")
  endif()
endforeach()
if(exports STREQUAL "")
  message(FATAL_ERROR "${LINKER_DEF} lists no exports")
endif()

get_filename_component(directory ${IMPORT_LIBRARY} DIRECTORY)
set(decorated_def ${directory}/${DLL_NAME}.decorated.def)
file(WRITE ${decorated_def} "LIBRARY ${DLL_NAME}\nEXPORTS\n${exports}")
execute_process(
  COMMAND ${DLLTOOL} --kill-at --def ${decorated_def} --dllname ${DLL_NAME}
          --output-lib ${IMPORT_LIBRARY}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} could not write ${IMPORT_LIBRARY}")
endif()
