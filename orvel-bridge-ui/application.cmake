# The tray application and the program orvel-bridge-ui. Included from this
# folder's CMakeLists.txt, which has found Qt 5 Widgets and turned AUTOMOC on.
#
# trayparts: what the application is made of that needs neither the icon
# painter nor the single-instance guard (the status text, the tray icon
# images, the signal pipe, the look for a notification area). The application itself needs both libraries,
# qtawesome (with the log window) and singleapplication.
add_library(trayparts STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/notificationareaposix.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/notificationarea.h
  ${CMAKE_CURRENT_SOURCE_DIR}/signalpipeposix.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/signalpipe.h
  ${CMAKE_CURRENT_SOURCE_DIR}/statustext.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/statustext.h
  ${CMAKE_CURRENT_SOURCE_DIR}/trayiconimages.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/trayiconimages.h
)
target_include_directories(trayparts PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(trayparts PUBLIC Qt5::Widgets Qt5::DBus bridgelib)

if(NOT TARGET qtawesome OR NOT TARGET singleapplication)
  message(STATUS "orvel-bridge-ui: qtawesome or singleapplication missing, the tray program is not built")
  return()
endif()

add_library(trayapplication STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/application.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/application.h
)
target_link_libraries(trayapplication PUBLIC trayparts qtawesome singleapplication)

add_executable(orvel-bridge-ui ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sanitizersuppressions.cpp)
target_link_libraries(orvel-bridge-ui PRIVATE trayapplication qtsanitizerdefaults)

if(BUILD_TESTING)
  # Offscreen, on a real bridge service with fake printers on loopback
  # addresses of their own: the menu, the states, the texts, the queues.
  add_executable(trayapplication_tests
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/application_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/statustext_test.cpp
  )
  target_include_directories(trayapplication_tests PRIVATE
    ${PROJECT_SOURCE_DIR}/bridgelib/tests ${PROJECT_SOURCE_DIR}/corelib/tests)
  target_link_libraries(trayapplication_tests PRIVATE trayapplication qtsanitizerdefaults GTest::gtest)
  gtest_discover_tests(trayapplication_tests
    PROPERTIES LABELS "unit" TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    DISCOVERY_TIMEOUT 60)

  # The real program: "help" without a display, and under Xvfb with tint2 as
  # the notification area host inside a private network namespace, the
  # icon, a click that opens the menu (screenshots in screenshots/ of this
  # build folder), a refused second instance and SIGTERM.
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND AND TARGET orvel-bridge-lab)
    set(TRAY_SCREENSHOTS ${CMAKE_CURRENT_BINARY_DIR}/screenshots)
    file(MAKE_DIRECTORY ${TRAY_SCREENSHOTS})
    foreach(class IN ITEMS Help Window)
      string(TOLOWER ${class} name)
      add_test(NAME tray_${name}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/tests/test_tray_window.py ${class})
      set_tests_properties(tray_${name} PROPERTIES
        LABELS "e2e;ui" TIMEOUT 180 SKIP_RETURN_CODE 77 RESOURCE_LOCK tray_program
        ENVIRONMENT "ORVEL_BRIDGE_UI=$<TARGET_FILE:orvel-bridge-ui>;ORVEL_BRIDGE_LAB=$<TARGET_FILE:orvel-bridge-lab>;ORVEL_SCREENSHOTS=${TRAY_SCREENSHOTS}")
    endforeach()
    # The same program in a StatusNotifierItem host on a private D-Bus
    # session bus (screenshots beside the ones above). The tray tests take
    # turns (tray_program): run at once, the window test's second instance
    # once hung past its minute on a loaded machine, cause not found.
    add_test(NAME tray_sni
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/tests/test_tray_sni.py)
    set_tests_properties(tray_sni PROPERTIES
      LABELS "e2e;ui" TIMEOUT 240 SKIP_RETURN_CODE 77 RESOURCE_LOCK tray_program
      ENVIRONMENT "ORVEL_BRIDGE_UI=$<TARGET_FILE:orvel-bridge-ui>;ORVEL_BRIDGE_LAB=$<TARGET_FILE:orvel-bridge-lab>;ORVEL_SCREENSHOTS=${TRAY_SCREENSHOTS}")
  endif()
endif()

# The program, its menu entry, and the same entry started with every desktop
# session (the program waits for the panel's notification area to appear).
include(GNUInstallDirs)
install(TARGETS orvel-bridge-ui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/orvel-bridge-ui.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/orvel-bridge-ui.desktop
        DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/xdg/autostart)
