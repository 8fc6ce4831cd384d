# The per-user settings store on wxFileConfig (wxBase only).
#
# wxWidgets is looked up inside a function so its variables stay local: a
# find_package(wxWidgets COMPONENTS core base) for the program, before or
# after this file, keeps its own results. The flags go on the target, not on
# the directory.
function(tevra_add_store_library)
  find_package(wxWidgets REQUIRED COMPONENTS base)
  add_library(tevra_store STATIC
    ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/FileSettingsStore.cpp
    ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/UserPaths.cpp)
  target_link_libraries(tevra_store PUBLIC tevra_core PRIVATE ${wxWidgets_LIBRARIES})
  target_include_directories(tevra_store SYSTEM PRIVATE ${wxWidgets_INCLUDE_DIRS})
  target_compile_definitions(tevra_store PRIVATE ${wxWidgets_DEFINITIONS})
  target_compile_options(tevra_store PRIVATE ${wxWidgets_CXX_FLAGS})
endfunction()
tevra_add_store_library()
