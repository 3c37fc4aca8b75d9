# The panel page in headless chromium against the real dashwick (normal
# build only; node, chromium and "npm ci" in tests/browser are set up by
# scripts/test). Screenshots go to the build tree's screenshots folder.
if(TARGET dashwick AND NOT SANITIZE)
  add_test(NAME panel_browser_test
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/browser/run.sh $<TARGET_FILE:dashwick>
            ${CMAKE_BINARY_DIR}/screenshots)
  set_tests_properties(panel_browser_test PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
endif()
