# orvel_add_unit_tests(target LABELS labels TIMEOUT seconds)
# Registers a GoogleTest program with CTest: on Linux one CTest case per test
# (discovered after the build), for Windows one case for the whole program,
# which CTest runs through the cross-compiling emulator (Wine), since each
# Wine process costs a start-up of its own.
function(orvel_add_unit_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "LABELS;TIMEOUT" "")
  if(WIN32)
    add_test(NAME ${target} COMMAND ${target} --gtest_brief=1)
    set_tests_properties(${target} PROPERTIES LABELS "${arg_LABELS};windows" TIMEOUT 600)
  else()
    gtest_discover_tests(${target} PROPERTIES LABELS "${arg_LABELS}" TIMEOUT ${arg_TIMEOUT})
  endif()
endfunction()
