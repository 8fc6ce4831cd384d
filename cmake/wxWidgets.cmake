# wxWidgets as a link target: its include folders, definitions, flags and
# libraries in one INTERFACE library per set of components.
#
#   tevra_add_wx_target(tevra_wx_base base)        # wxBase only
#   tevra_add_wx_target(tevra_wx_gui core base)    # the GTK shell
#
# find_package runs inside the function, so its variables stay local and
# several sets of components never mix.
include_guard(GLOBAL)

function(tevra_add_wx_target name)
  if(TARGET ${name})
    return()
  endif()
  find_package(wxWidgets REQUIRED COMPONENTS ${ARGN})
  add_library(${name} INTERFACE)
  target_include_directories(${name} SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
  target_compile_definitions(${name} INTERFACE ${wxWidgets_DEFINITIONS})
  target_compile_options(${name} INTERFACE ${wxWidgets_CXX_FLAGS})
  target_link_libraries(${name} INTERFACE ${wxWidgets_LIBRARIES})
endfunction()
