# The per-user files, plain C++: where they live, and the settings file read
# and replaced whole. Shared by the program's store and the line simulator,
# which may be built without the program.
include_guard(GLOBAL)
add_library(tevra_user_files STATIC
  ${CMAKE_CURRENT_LIST_DIR}/SettingsFile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UserPaths.cpp)
target_include_directories(tevra_user_files PUBLIC ${PROJECT_SOURCE_DIR})
