# The layering of src/ (and tools/), enforced by the build.
#
# Every folder is one static library whose headers are included as "FOLDER/name.h". Its headers are
# reached through a directory of the build tree that holds a link to that folder alone, and that
# directory is on the include path of the folder's own library and of the targets that link it:
# nothing else. So an #include of a folder that a target does not link fails to compile, and the
# link dependencies written in each folder's CMakeLists.txt are the layering rules (PUBLIC where the
# folder's own headers include the other folder's, PRIVATE otherwise).
#
# histonorm_folder_library(TARGET SOURCE...): the library of the current source folder.
function(histonorm_folder_library target)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(root ${PROJECT_BINARY_DIR}/folders/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  add_library(${target} STATIC ${ARGN})
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
endfunction()
