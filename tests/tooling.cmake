# Checks of the tree itself rather than of the program: the layering the
# folder READMEs state, and that every folder has a README saying it.
add_test(NAME Layout.IncludesFollowFolderReadmes
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/check_includes.py ${PROJECT_SOURCE_DIR})
add_test(NAME Layout.EveryFolderHasReadme
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/check_includes.py --readmes ${PROJECT_SOURCE_DIR})
# Labels: "display" needs an X server (Xvfb), "tree" reads only the sources;
# the cross-built suite (the arm64 test preset) leaves both out.
add_test(NAME Layout.IncludeCheckCases
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/check_includes_cases.py)
set_tests_properties(Layout.IncludesFollowFolderReadmes Layout.EveryFolderHasReadme Layout.IncludeCheckCases
  PROPERTIES LABELS tree)
