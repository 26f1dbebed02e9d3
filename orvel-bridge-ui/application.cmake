# The tray application and the program orvel-bridge-ui. Included from this
# folder's CMakeLists.txt, which has found Qt 5 Widgets and turned AUTOMOC on.
#
# trayparts: what the application is made of that needs neither the icon
# painter nor the single-instance guard (the status text, the tray icon
# images, the signal pipe). The application itself needs both libraries,
# qtawesome (with the log window) and singleapplication.
add_library(trayparts STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/signalpipe.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/signalpipe.h
  ${CMAKE_CURRENT_SOURCE_DIR}/statustext.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/statustext.h
  ${CMAKE_CURRENT_SOURCE_DIR}/trayiconimages.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/trayiconimages.h
)
target_include_directories(trayparts PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(trayparts PUBLIC Qt5::Widgets bridgelib)

if(NOT TARGET qtawesome OR NOT TARGET singleapplication)
  message(STATUS "orvel-bridge-ui: qtawesome or singleapplication missing, the tray program is not built")
  return()
endif()

add_library(trayapplication STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/application.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/application.h
)
target_link_libraries(trayapplication PUBLIC trayparts qtawesome singleapplication)

add_executable(orvel-bridge-ui ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
target_link_libraries(orvel-bridge-ui PRIVATE trayapplication)

if(BUILD_TESTING)
  # Offscreen, on a real bridge service with fake printers on loopback
  # addresses of their own: the menu, the states, the texts, the queues.
  add_executable(trayapplication_tests
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/application_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/statustext_test.cpp
  )
  target_include_directories(trayapplication_tests PRIVATE
    ${PROJECT_SOURCE_DIR}/bridgelib/tests ${PROJECT_SOURCE_DIR}/corelib/tests)
  target_link_libraries(trayapplication_tests PRIVATE trayapplication GTest::gtest)
  gtest_discover_tests(trayapplication_tests
    PROPERTIES LABELS "unit;ui" TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    DISCOVERY_TIMEOUT 60)
endif()
