# The icon font painter (QtAwesome and its painters) and the log window, in the
# static library qtawesome. Included from this folder's CMakeLists.txt, which
# has found Qt 5 Widgets and turned AUTOMOC and AUTORCC on.
#
# The font and the icon names come from Debian's fonts-font-awesome package
# (tools/install-deps.sh installs it): the font file is embedded as the resource
# ":/fonts/fontawesome-4.7.0.ttf", and the icon-name table is generated from
# the package's stylesheet at build time.
set(QTAWESOME_FONT_FILE /usr/share/fonts/truetype/font-awesome/fontawesome-webfont.ttf
    CACHE FILEPATH "The Font Awesome 4.7 font embedded in the tray program")
set(QTAWESOME_STYLESHEET /usr/share/fonts-font-awesome/css/font-awesome.css
    CACHE FILEPATH "The Font Awesome 4.7 stylesheet that names the icons")
foreach(required IN ITEMS QTAWESOME_FONT_FILE QTAWESOME_STYLESHEET)
  if(NOT EXISTS "${${required}}")
    message(FATAL_ERROR "${required} (${${required}}) not found; install fonts-font-awesome (tools/install-deps.sh)")
  endif()
endforeach()
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(QTAWESOME_GENERATED ${CMAKE_CURRENT_BINARY_DIR}/qtawesome-generated)
file(MAKE_DIRECTORY ${QTAWESOME_GENERATED})

# The font as a resource: the .qrc names the package's file under the alias
# the program loads. Its base name gives the resource's init function
# (Q_INIT_RESOURCE(qtawesomefont) in qtawesome.cpp).
file(CONFIGURE OUTPUT ${QTAWESOME_GENERATED}/qtawesomefont.qrc @ONLY CONTENT
"<RCC>\n  <qresource prefix=\"/fonts\">\n    <file alias=\"fontawesome-4.7.0.ttf\">@QTAWESOME_FONT_FILE@</file>\n  </qresource>\n</RCC>\n")

add_custom_command(
  OUTPUT ${QTAWESOME_GENERATED}/qtawesomenames.cpp
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/qtawesome-names.py
          ${QTAWESOME_STYLESHEET} ${QTAWESOME_GENERATED}/qtawesomenames.cpp
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/qtawesome-names.py ${QTAWESOME_STYLESHEET}
  COMMENT "Generating the icon-name table from ${QTAWESOME_STYLESHEET}"
  VERBATIM)

add_library(qtawesome STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/qtawesome.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qtawesome.h
  ${CMAKE_CURRENT_SOURCE_DIR}/qtawesomeanimation.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qtawesomeanimation.h
  ${CMAKE_CURRENT_SOURCE_DIR}/qtawesomechariconpainter.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qtawesomechariconpainter.h
  ${CMAKE_CURRENT_SOURCE_DIR}/qtawesomeiconpainter.h
  ${CMAKE_CURRENT_SOURCE_DIR}/qtawesomeiconpaintericonengine.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qtawesomeiconpaintericonengine.h
  ${CMAKE_CURRENT_SOURCE_DIR}/qtawesomenames.h
  ${QTAWESOME_GENERATED}/qtawesomenames.cpp
  ${QTAWESOME_GENERATED}/qtawesomefont.qrc
  ${CMAKE_CURRENT_SOURCE_DIR}/logwindow.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/logwindow.h
  ${CMAKE_CURRENT_SOURCE_DIR}/objectwrapper.h
)
target_include_directories(qtawesome PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(qtawesome PUBLIC Qt5::Widgets corelib)

if(BUILD_TESTING)
  add_executable(qtawesome_tests
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/qtawesome_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/logwindow_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/qtestmain.cpp
  )
  target_link_libraries(qtawesome_tests PRIVATE qtawesome qtsanitizerdefaults GTest::gtest)
  gtest_discover_tests(qtawesome_tests
    PROPERTIES LABELS "unit;ui" TIMEOUT 120
               ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  # The icons on a screen whose device pixel ratio is 2.
  add_test(NAME qtawesome_hidpi COMMAND qtawesome_tests --gtest_filter=*Ratio2*:*ScaledPixmap*)
  set_tests_properties(qtawesome_hidpi PROPERTIES LABELS "unit;ui" TIMEOUT 120
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_SCALE_FACTOR=2")
endif()
