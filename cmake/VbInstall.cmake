# cmake --install: vbhost in bin/, and side by side in lib/velbrook/ what it loads at run time:
# the three plug-ins, libvbplatform.so and KJMAP.DLL (which the platform looks for next to
# itself). vbhost finds libvbplatform.so through its run path and the plug-ins by the same
# relative path, so the installed tree works from any prefix without environment variables.
# On Windows everything goes into bin/, where the loader looks for the DLLs.
set(VB_INSTALL_BIN_DIR bin)
if(WIN32)
  set(VB_INSTALL_PLUGIN_DIR bin)
else()
  set(VB_INSTALL_PLUGIN_DIR lib/velbrook)
endif()

set(vb_installed_modules vbtga vbpcx vbmag vbplatform kjmap)
install(TARGETS ${vb_installed_modules}
  LIBRARY DESTINATION ${VB_INSTALL_PLUGIN_DIR}
  RUNTIME DESTINATION ${VB_INSTALL_PLUGIN_DIR}
  ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)
if(NOT WIN32)
  # The plug-ins link libvbplatform.so, which lies beside them.
  set_target_properties(vbtga vbpcx vbmag kjmap vbplatform PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

if(TARGET vbhost)
  install(TARGETS vbhost RUNTIME DESTINATION ${VB_INSTALL_BIN_DIR})
  if(NOT WIN32)
    set_target_properties(vbhost PROPERTIES
      INSTALL_RPATH "$ORIGIN/${VB_PLUGIN_FOLDER_FROM_BIN}")
  endif()
endif()
