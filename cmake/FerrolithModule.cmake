# ferrolith_add_module(<dotted.module.name> <sources>...)
#
# Builds one extension module of the package: the shared library is named after
# the last component of the dotted name and installed into the matching package
# folder, so `ferrolith_add_module(ferrolith.properties.bondvick bondvick.cpp)`
# yields the importable module ferrolith.properties.bondvick.
function(ferrolith_add_module dotted_name)
  string(REPLACE "." ";" _parts "${dotted_name}")
  list(GET _parts -1 _leaf)
  list(REMOVE_AT _parts -1)
  string(REPLACE ";" "/" _package_dir "${_parts}")
  string(REPLACE "." "_" _target "${dotted_name}")

  # No link-time optimisation (pybind11's default for release builds): the
  # kernels, where the time goes, are compiled without it anyway, while an LTO
  # link redoes the code generation of the whole module on every build, which
  # ccache cannot cache; those links were most of a fresh build's time.
  if(NOT DEFINED CMAKE_INTERPROCEDURAL_OPTIMIZATION)
    set(CMAKE_INTERPROCEDURAL_OPTIMIZATION OFF)
  endif()
  pybind11_add_module(${_target} MODULE ${ARGN})
  set_target_properties(${_target} PROPERTIES OUTPUT_NAME ${_leaf})
  target_link_libraries(${_target} PRIVATE ferrolith_binding ferrolith_kernels)
  if(SKBUILD)
    install(TARGETS ${_target} LIBRARY DESTINATION ${_package_dir})
  endif()
endfunction()
