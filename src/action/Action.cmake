# The workflow action Quirel-AM: a plug-in loaded by the workflow host
# program, built into its bundle inside the application bundle. Included from
# the desktop application's block of the top-level CMakeLists.txt, so
# quirel_gui and QUIREL_BUNDLE_DIR are known here; paths are relative to
# CMAKE_CURRENT_LIST_DIR.
include(${CMAKE_CURRENT_LIST_DIR}/inprocess/InProcess.cmake)

set(QUIREL_ACTION_IDENTIFIER com.brannoch.quirel.action)
# Four folder levels below the application bundle, so that the action finds
# the application from its own bundle path.
set(QUIREL_ACTION_BUNDLE_DIR ${QUIREL_BUNDLE_DIR}/Contents/Library/Automator/Quirel-AM.action)
# Warnings the action's code is kept clean of.
set(quirel_action_warnings -Wshadow -Wnon-virtual-dtor -Wmissing-declarations)

# Built once the action's scan job is there.
if(NOT TARGET quirel_action_scanjob)
  return()
endif()

# The workflow-host layer: action bundles, the action base class, plug-in
# loading, parameters files and runs on a worker thread. Linked by the host
# program and by the plug-in.
include(GNUInstallDirs)
file(GLOB amhost_srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/host/*.cpp ${CMAKE_CURRENT_LIST_DIR}/host/*.h)
add_library(quirel_amhost STATIC ${amhost_srcs})
target_include_directories(quirel_amhost PUBLIC ${CMAKE_CURRENT_LIST_DIR}/host)
target_link_libraries(quirel_amhost PUBLIC Qt6::Widgets quirel_frontend PRIVATE ${CMAKE_DL_LIBS})
target_compile_definitions(quirel_amhost PRIVATE QUIREL_INSTALL_LIBDIR="${CMAKE_INSTALL_LIBDIR}")
target_compile_options(quirel_amhost PRIVATE ${quirel_action_warnings})

# The plug-in: Quirel-AM.action/Contents/{Info.plist,MacOS/Quirel-AM}.
file(GLOB action_srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/plugin/*.cpp ${CMAKE_CURRENT_LIST_DIR}/plugin/*.h
     ${CMAKE_CURRENT_LIST_DIR}/plugin/*.ui)
add_library(Quirel-AM MODULE ${action_srcs})
set_target_properties(Quirel-AM PROPERTIES AUTOMOC ON AUTOUIC ON PREFIX "" SUFFIX ""
                      LIBRARY_OUTPUT_DIRECTORY ${QUIREL_ACTION_BUNDLE_DIR}/Contents/MacOS
                      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(Quirel-AM PRIVATE ${CMAKE_CURRENT_LIST_DIR}/plugin)
# The action's scan job: the engine in process (its library makes sure its
# MakeScanJob is the one the shared controller gets).
target_link_libraries(Quirel-AM PRIVATE quirel_action_scanjob)
target_link_libraries(Quirel-AM PRIVATE quirel_gui quirel_amhost)
if(TARGET quirel_virtual)
  target_link_libraries(Quirel-AM PRIVATE quirel_virtual)
endif()
target_compile_options(Quirel-AM PRIVATE ${quirel_action_warnings})
target_link_options(Quirel-AM PRIVATE -Wl,--no-undefined)
configure_file(${CMAKE_CURRENT_LIST_DIR}/plugin/Info.plist.in ${QUIREL_ACTION_BUNDLE_DIR}/Contents/Info.plist @ONLY)
add_dependencies(Quirel-AM quirel_bundle)

# The host program: loads the action by its identifier, shows its settings
# view and saves its parameters, or runs it with an input path.
add_executable(quirel-workflow ${CMAKE_CURRENT_LIST_DIR}/workflow/main.cpp)
target_link_libraries(quirel-workflow PRIVATE quirel_amhost quirel_platform)
# The scan statuses (constants only: the host program never links the engine).
target_include_directories(quirel-workflow PRIVATE ${CMAKE_SOURCE_DIR}/src/engine/device/include)
target_compile_options(quirel-workflow PRIVATE ${quirel_action_warnings})
set_target_properties(quirel-workflow PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_dependencies(quirel-workflow Quirel-AM)

# The action bundle is installed with the application bundle (it lies
# inside it); the host program beside the tool.
install(TARGETS quirel-workflow RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/quirel-workflow.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(TARGETS Quirel-AM LIBRARY DESTINATION
        ${QUIREL_BUNDLE_INSTALL_DIR}/Contents/Library/Automator/Quirel-AM.action/Contents/MacOS)

if(BUILD_TESTING)
  # Tests: runs of the host program against the virtual scanner, and the
  # plug-in loaded into the test process so that its panels can be driven.
  file(GLOB action_test_srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/action/*.cpp ${CMAKE_SOURCE_DIR}/tests/action/*.h)
  if(action_test_srcs)
    add_executable(test_action ${action_test_srcs})
    target_link_libraries(test_action PRIVATE quirel_amhost quirel_test_support GTest::gtest Threads::Threads)
    target_include_directories(test_action PRIVATE ${CMAKE_SOURCE_DIR}/tests/action ${CMAKE_SOURCE_DIR}/tests/e2e)
    target_compile_definitions(test_action PRIVATE QUIREL_BINARY_DIR="${CMAKE_BINARY_DIR}"
                               QUIREL_BUNDLE_DIR="${QUIREL_BUNDLE_DIR}")
    target_compile_options(test_action PRIVATE ${quirel_action_warnings})
    add_dependencies(test_action quirel-workflow Quirel-AM)
    # The test program sets the offscreen platform itself, for the host
    # programs it starts too. Under AddressSanitizer the leak checker of this
    # compiler crashes at the exit of a process that has loaded the plug-in,
    # while it scans the threads' thread-local storage (dlopen'ed modules with
    # TLS); it runs with that scan off instead, which leaves GLib's per-thread
    # buffers, reachable only from there, to be exempted (see the file); our
    # own leaks are still found.
    set(action_env "QT_QPA_PLATFORM=offscreen")
    if(QUIREL_SANITIZE STREQUAL "address")
      set(action_env "LSAN_OPTIONS=use_tls=0:suppressions=${CMAKE_SOURCE_DIR}/tests/action/lsan-glib-tls.supp")
    endif()
    gtest_discover_tests(test_action DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 300 ENVIRONMENT "${action_env}")
  endif()
endif()
