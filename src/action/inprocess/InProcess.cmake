# The action's scan job: the engine run in the action's own process.
# quirel_action_scanjob holds ScanJob_InProcess and the action's MakeScanJob;
# the plug-in links it beside quirel_gui (whose controller calls MakeScanJob).
set(quirel_inprocess_dir ${CMAKE_CURRENT_LIST_DIR})
set(quirel_root_dir ${CMAKE_CURRENT_LIST_DIR}/../../..)
if(TARGET quirel_frontend AND TARGET quirel_scan)
  add_library(quirel_action_scanjob STATIC
    ${quirel_inprocess_dir}/ScanJob_InProcess.cpp
    ${quirel_inprocess_dir}/MakeScanJob_InProcess.cpp)
  target_include_directories(quirel_action_scanjob PUBLIC ${quirel_inprocess_dir})
  target_link_libraries(quirel_action_scanjob PUBLIC quirel_frontend quirel_scan)
  target_compile_definitions(quirel_action_scanjob PRIVATE QUIREL_VERSION="${PROJECT_VERSION}")
  # The controller asks for MakeScanJob from inside quirel_gui, which may
  # come after this library on a link line: the symbol is asked for from the
  # start, so this library's definition is the one taken.
  target_link_options(quirel_action_scanjob INTERFACE
    "LINKER:--undefined=_ZN6quirel8frontend11MakeScanJobEPNS0_17ScanJobControllerE")

  file(GLOB inprocess_test_srcs CONFIGURE_DEPENDS ${quirel_root_dir}/tests/action/inprocess/*.cpp)
  if(BUILD_TESTING AND inprocess_test_srcs AND TARGET quirel_virtual AND TARGET quirel_gui)
    add_executable(test_action_inprocess ${inprocess_test_srcs}
      ${quirel_root_dir}/tests/frontend/FrontendTestSupport.cpp
      ${quirel_root_dir}/src/tool/ToolArgs.cpp
      ${quirel_root_dir}/src/tool/ToolQueries.cpp)
    # quirel_gui first, as in the plug-in: its controller's MakeScanJob must
    # still be this library's.
    target_link_libraries(test_action_inprocess PRIVATE quirel_gui quirel_action_scanjob quirel_virtual
                          quirel_test_support GTest::gtest GTest::gmock Threads::Threads)
    target_include_directories(test_action_inprocess PRIVATE ${quirel_root_dir}/tests/frontend
                               ${quirel_root_dir}/tests/e2e ${quirel_root_dir}/src/tool)
    target_compile_definitions(test_action_inprocess PRIVATE
      QUIREL_SOURCE_DIR="${CMAKE_SOURCE_DIR}" QUIREL_BINARY_DIR="${CMAKE_BINARY_DIR}")
    if(TARGET quirel)
      target_compile_definitions(test_action_inprocess PRIVATE QUIREL_TOOL_PATH="$<TARGET_FILE:quirel>")
    endif()
    # The tests need no display (one QCoreApplication). Under ThreadSanitizer
    # the queued calls' own objects, handed over inside the uninstrumented Qt
    # library, are exempted (see the file).
    set(inprocess_env "QT_QPA_PLATFORM=offscreen")
    if(QUIREL_SANITIZE STREQUAL "thread")
      set(inprocess_env
          "TSAN_OPTIONS=history_size=7:suppressions=${quirel_root_dir}/tests/action/inprocess/tsan-qt-events.supp")
    endif()
    gtest_discover_tests(test_action_inprocess DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 300 ENVIRONMENT "${inprocess_env}")
  endif()
endif()
