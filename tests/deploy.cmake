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
  add_dependencies(deploy_install_test dashwick)
endif()
