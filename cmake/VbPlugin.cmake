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
  endif()
endfunction()
