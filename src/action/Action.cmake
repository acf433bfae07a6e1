# The workflow action Quirel-AM: a plug-in loaded by the workflow host
# program, built into its bundle inside the application bundle. Included from
# the desktop application's block of the top-level CMakeLists.txt, so
# quirel_gui and QUIREL_BUNDLE_DIR are known here; paths are relative to
# CMAKE_CURRENT_LIST_DIR.
include(${CMAKE_CURRENT_LIST_DIR}/inprocess/InProcess.cmake)
