# orvel_add_unit_tests(target LABELS labels TIMEOUT seconds [PRIVATE_NETWORK])
# Registers a GoogleTest program with CTest: on Linux one CTest case per test
# (discovered after the build), for Windows one case for the whole program,
# which CTest runs through the cross-compiling emulator (Wine), since each
# Wine process costs a start-up of its own.
# PRIVATE_NETWORK (Linux): each case runs in a network namespace of its own
# (cmake/privatenetwork.sh, given as the program's launcher), for programs
# whose tests take fixed ports; skipped (status 77) where none can be made.
function(orvel_add_unit_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "PRIVATE_NETWORK" "LABELS;TIMEOUT" "")
  if(WIN32)
    add_test(NAME ${target} COMMAND ${target} --gtest_brief=1)
    set_tests_properties(${target} PROPERTIES LABELS "${arg_LABELS};windows" TIMEOUT 600)
  elseif(arg_PRIVATE_NETWORK)
    # GoogleTest's discovery runs the program, and every case it finds,
    # through the target's launcher.
    set_target_properties(${target} PROPERTIES
      CROSSCOMPILING_EMULATOR "sh;${PROJECT_SOURCE_DIR}/cmake/privatenetwork.sh")
    gtest_discover_tests(${target} PROPERTIES LABELS "${arg_LABELS}" TIMEOUT ${arg_TIMEOUT}
      SKIP_RETURN_CODE 77)
  else()
    gtest_discover_tests(${target} PROPERTIES LABELS "${arg_LABELS}" TIMEOUT ${arg_TIMEOUT})
  endif()
endfunction()
