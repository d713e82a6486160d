# Gives every program of an emulated build a starter script: the program is
# built as NAME.arm, and NAME runs it under CMAKE_CROSSCOMPILING_EMULATOR.
# Included at the end of the top-level CMakeLists, once all targets exist.
function(modcard_emulated_programs dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE")
      set_target_properties(${t} PROPERTIES SUFFIX ".arm")
      list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "\" \"" emu)
      file(GENERATE OUTPUT $<TARGET_FILE_DIR:${t}>/$<TARGET_FILE_BASE_NAME:${t}>
           CONTENT "#!/bin/sh\nexec \"${emu}\" \"$<TARGET_FILE:${t}>\" \"$@\"\n"
           FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(d ${subdirs})
    modcard_emulated_programs(${d})
  endforeach()
endfunction()
modcard_emulated_programs(${CMAKE_SOURCE_DIR})
