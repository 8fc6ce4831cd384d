include(${CMAKE_CURRENT_LIST_DIR}/user_files.cmake)

# The per-user settings store on wxFileConfig (wxBase only).
include(${PROJECT_SOURCE_DIR}/cmake/wxWidgets.cmake)
tevra_add_wx_target(tevra_wx_base base)
add_library(tevra_store STATIC ${CMAKE_CURRENT_LIST_DIR}/FileSettingsStore.cpp)
target_link_libraries(tevra_store PUBLIC tevra_core tevra_user_files PRIVATE tevra_wx_base)
