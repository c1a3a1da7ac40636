# mirel_add_module(<target> <output name> SOURCES ...)
# A component module of the framework: a shared library named "<output name>.dll" on both
# platforms that exports exactly the seven functions of a module, built on the module frame and the
# component base.
function(mirel_add_module target output_name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE mirel_frame mirel_component)
  target_compile_options(${target} PRIVATE ${MIREL_WARNINGS})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${output_name} SUFFIX ".dll")
  if(WIN32)
    # Exports by undecorated name with ordinals 1 to 7; the runtime linked in, so that the module
    # needs no DLL beside the system's.
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/module/module_exports.def)
    target_link_options(${target} PRIVATE -static)
  else()
    # libstdc++ gives its templates default visibility; the version script keeps them inside.
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/module/module_exports.map
      -Wl,-Bsymbolic -Wl,--no-undefined)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
      ${PROJECT_SOURCE_DIR}/module/module_exports.map)
  endif()
endfunction()

# mirel_static_runtime(<target>): links the runtime in on Windows so Wine needs no extra DLL.
function(mirel_static_runtime target)
  if(WIN32)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
