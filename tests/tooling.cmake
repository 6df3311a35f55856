# Checks of the tree itself rather than of the program: the layering the
# folder READMEs state, and that every folder has a README saying it.
add_test(NAME Layout.IncludesFollowFolderReadmes
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/check_includes.py ${PROJECT_SOURCE_DIR})
add_test(NAME Layout.EveryFolderHasReadme
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/check_includes.py --readmes ${PROJECT_SOURCE_DIR})
