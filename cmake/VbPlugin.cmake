# vb_add_filter(NAME <vbtga> SOURCES <files...> [PALETTE])
#
# Builds the filter's sources as an object library <name>_objects (linked by the .spi module and
# by the filter's unit tests) and the plug-in module <name>.spi, which exports exactly the five
# interface functions.
function(vb_add_filter)
  cmake_parse_arguments(VB "PALETTE" "NAME" "SOURCES" ${ARGN})
  add_library(${VB_NAME}_objects OBJECT ${VB_SOURCES})
  target_link_libraries(${VB_NAME}_objects PUBLIC vbframework_headers)
  target_compile_options(${VB_NAME}_objects PRIVATE ${VB_MODULE_FLAGS})

  add_library(${VB_NAME} MODULE)
  target_link_libraries(${VB_NAME} PRIVATE ${VB_NAME}_objects vbframework vbplatform)
  if(VB_PALETTE)
    target_link_libraries(${VB_NAME} PRIVATE vbpalette)
  endif()
  set_target_properties(${VB_NAME} PROPERTIES PREFIX "" SUFFIX ".spi")
  if(NOT WIN32)
    target_link_options(${VB_NAME} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/framework/exports.map
      -Wl,--no-undefined)
    set_property(TARGET ${VB_NAME} APPEND PROPERTY LINK_DEPENDS
      ${PROJECT_SOURCE_DIR}/framework/exports.map)
  else()
    vb_add_windows_plugin_files(${VB_NAME})
  endif()
endfunction()

# On 32-bit x86 Windows the exports are __stdcall, and the compiler names such a function by
# the bytes of arguments it pops (GetPicture@28); the modules export them undecorated.
set(VB_STDCALL_DECORATION OFF)
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VB_STDCALL_DECORATION ON)
endif()

# vb_def_exports(<out_var> <name:argument_bytes[:ordinal]>...)
#
# The EXPORTS lines of a .def file. Where names are decorated each export is bound to the
# compiler's symbol by its full name (GetPicture = GetPicture@28), so a function that lost its
# __stdcall, or whose arguments changed, fails to link instead of being exported under a
# convention the caller does not use.
function(vb_def_exports out_var)
  set(lines "")
  foreach(entry IN LISTS ARGN)
    string(REPLACE ":" ";" fields "${entry}")
    list(LENGTH fields count)
    list(GET fields 0 name)
    list(GET fields 1 bytes)
    set(line "    ${name}")
    if(VB_STDCALL_DECORATION)
      string(APPEND line " = ${name}@${bytes}")
    endif()
    if(count GREATER 2)
      list(GET fields 2 ordinal)
      string(APPEND line " @${ordinal}")
    endif()
    string(APPEND lines "${line}\n")
  endforeach()
  set(${out_var} "${lines}" PARENT_SCOPE)
endfunction()

# vb_undecorated_import_library(<target>)
#
# For a DLL that others link (vbplatform.dll, the testing layer): where names are decorated the
# DLL exports them without the @N (--kill-at), as the plug-ins and hosts find them with
# GetProcAddress, and its import library is made again with dlltool so that importers, which
# still refer to AllocateBlock@4, bind to the undecorated export.
function(vb_undecorated_import_library target)
  if(NOT VB_STDCALL_DECORATION)
    return()
  endif()
  set(linker_def ${CMAKE_CURRENT_BINARY_DIR}/${target}_linker_exports.def)
  target_link_options(${target} PRIVATE -Wl,--kill-at -Wl,--output-def,${linker_def})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DDLLTOOL=${CMAKE_DLLTOOL} -DLINKER_DEF=${linker_def}
            -DDLL_NAME=$<TARGET_FILE_NAME:${target}> -DIMPORT_LIBRARY=$<TARGET_LINKER_FILE:${target}>
            -P ${PROJECT_SOURCE_DIR}/cmake/stdcall_import_library.cmake
    VERBATIM)
endfunction()

if(WIN32)
  # The interface version string lives in framework/resources.h; the .rc files take it from there.
  set(VB_RESOURCES_HEADER ${PROJECT_SOURCE_DIR}/framework/resources.h)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${VB_RESOURCES_HEADER})
  file(STRINGS ${VB_RESOURCES_HEADER} VB_INTERFACE_VERSION_LINE
    REGEX "^#define PLUGIN_STRING_INTERFACE_VERSION \"[^\"]*\"")
  if(NOT VB_INTERFACE_VERSION_LINE MATCHES "\"([^\"]*)\"")
    message(FATAL_ERROR "no PLUGIN_STRING_INTERFACE_VERSION in ${VB_RESOURCES_HEADER}")
  endif()
  set(VB_PLUGIN_INTERFACE_VERSION ${CMAKE_MATCH_1})
endif()

# The PE side of a plug-in: a .def file that names the module and exports the five functions at
# their ordinals, and a string table built from the filter's strings header (tga/tga_strings.h
# for vbtga). The module is entered through DllMain (framework/entry.cpp).
function(vb_add_windows_plugin_files name)
  string(REGEX REPLACE "^vb" "" format ${name})
  set(VB_PLUGIN_STRINGS_HEADER ${CMAKE_CURRENT_SOURCE_DIR}/${format}_strings.h)
  if(NOT EXISTS ${VB_PLUGIN_STRINGS_HEADER})
    message(FATAL_ERROR "${name}: no strings header ${VB_PLUGIN_STRINGS_HEADER}")
  endif()
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${VB_PLUGIN_STRINGS_HEADER})
  file(STRINGS ${VB_PLUGIN_STRINGS_HEADER} module_line
    REGEX "^#define PLUGIN_MODULE_NAME \"[^\"]*\"")
  string(REGEX MATCH "\"([^\"]*)\"" unused "${module_line}")
  set(VB_PLUGIN_MODULE_NAME ${CMAKE_MATCH_1})
  if(NOT VB_PLUGIN_MODULE_NAME STREQUAL "${name}.spi")
    message(FATAL_ERROR "${name}: PLUGIN_MODULE_NAME is \"${VB_PLUGIN_MODULE_NAME}\", "
      "the module file is ${name}.spi")
  endif()

  # The five exports at the ordinals of their alphabetical order, with the bytes of arguments.
  vb_def_exports(VB_PLUGIN_EXPORTS GetPicture:28:1 GetPreview:28:2 IsSupported:8:3
    GetPictureInfo:16:4 GetPluginInfo:12:5)

  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${name}_windows)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/plugin.def.in ${generated}.def @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/plugin_strings.rc.in ${generated}.rc @ONLY)
  target_sources(${name} PRIVATE ${generated}.def ${generated}.rc)
  # The .rc includes the strings header: rebuild the table when the texts change.
  set_source_files_properties(${generated}.rc PROPERTIES
    OBJECT_DEPENDS ${VB_PLUGIN_STRINGS_HEADER})
endfunction()
