# Deployment: nginx in front of the real dashwick, the installed tree and
# the manual pages.
if(TARGET dashwick)
  find_package(OpenSSL REQUIRED)
  add_vorna_test(deploy_proxy_test SOURCES deploy_proxy_test.cpp nginx_front.cpp panel_sandbox.cpp
    LIBS sandbox crypt OpenSSL::SSL)
  add_dependencies(deploy_proxy_test dashwick)
endif()
if(TARGET dashwick)
  add_vorna_test(deploy_install_test SOURCES deploy_install_test.cpp LIBS sandbox)
  target_compile_definitions(deploy_install_test PRIVATE
    CMAKE_COMMAND="${CMAKE_COMMAND}" BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_dependencies(deploy_install_test dashwick logrun)
endif()
# The browser test through the nginx front (normal build only, like the
# browser test itself).
if(TARGET dashwick AND NOT SANITIZE AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/browser/run.sh)
  add_test(NAME panel_browser_https_test
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/browser/run.sh $<TARGET_FILE:dashwick>
            ${CMAKE_BINARY_DIR}/screenshots-https https://127.0.0.1:8443)
  set_tests_properties(panel_browser_https_test PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
endif()
