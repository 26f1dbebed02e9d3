# The single-instance guard: SingleApplication, the tray program's Qt
# application base, decides through a named shared-memory block whether this
# process is the first instance of the user.
add_library(singleapplication STATIC
  singleapplication/singleapplication.cpp
  singleapplication/singleapplication.h
  singleapplication/singleapplicationprivate.cpp
  singleapplication/singleapplicationprivate.h
)
target_include_directories(singleapplication PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/singleapplication)
target_link_libraries(singleapplication PUBLIC Qt5::Widgets corelib)

if(BUILD_TESTING)
  # In-process: the key, the block's layout and initInstance with several
  # guards attached to one block.
  add_executable(singleapplication_tests tests/singleapplication_test.cpp)
  target_link_libraries(singleapplication_tests PRIVATE singleapplication qtsanitizerdefaults GTest::gtest)
  gtest_discover_tests(singleapplication_tests PROPERTIES LABELS "unit" TIMEOUT 120
    DISCOVERY_TIMEOUT 60)

  # With real processes: a second instance refused, a new primary after a
  # normal exit and after SIGKILL, a spoiled block repaired. Qt's offscreen
  # platform leaks its screen at exit; the probe has the folder's leak rules
  # compiled in (qtsanitizerdefaults).
  add_executable(guardprobe tests/guardprobe.cpp)
  target_link_libraries(guardprobe PRIVATE singleapplication qtsanitizerdefaults)
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    add_test(NAME singleapplication_processes
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/tests/test_singleapplication.py)
    set_tests_properties(singleapplication_processes PROPERTIES
      LABELS "e2e" TIMEOUT 300
      ENVIRONMENT "GUARDPROBE=$<TARGET_FILE:guardprobe>;QT_QPA_PLATFORM=offscreen")
  else()
    message(STATUS "orvel-bridge-ui: python3 missing, the single-instance process test is not added")
  endif()
endif()
