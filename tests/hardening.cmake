# The programs carry the hardening of the top-level build: PIE, full RELRO
# with immediate binding, the stack protector and fortified library calls
# (optimised builds without the sanitizers only).
foreach(program seedcfg dashwick logrun)
  if(TARGET ${program})
    add_test(NAME ${program}_hardening
      COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_hardening.sh $<TARGET_FILE:${program}>
              $<IF:$<OR:$<CONFIG:Debug>,$<BOOL:${SANITIZE}>>,0,1>)
  endif()
endforeach()
