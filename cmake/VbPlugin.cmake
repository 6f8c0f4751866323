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

  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${name}_windows)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/plugin.def.in ${generated}.def @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/plugin_strings.rc.in ${generated}.rc @ONLY)
  target_sources(${name} PRIVATE ${generated}.def ${generated}.rc)
  # The .rc includes the strings header: rebuild the table when the texts change.
  set_source_files_properties(${generated}.rc PROPERTIES
    OBJECT_DEPENDS ${VB_PLUGIN_STRINGS_HEADER})
endfunction()
