# The libraries of the Windows build, which Debian ships only for Linux:
#   Boost: Debian's headers, seen through a folder whose only entry links to
#     them (so that no Linux system header comes along), with Program_options
#     and Filesystem compiled from the sources of Debian's boost1.74 source
#     package (ORVEL_BOOST_SOURCE, fetched by tools/install-deps.sh windows);
#     System and Date_Time are header-only for what the library uses.
#   nlohmann/json (header-only): Debian's headers, seen the same way.
#   GoogleTest: Debian's sources in /usr/src/googletest.
# They give the targets the Linux build gets from find_package (GoogleTest's
# own build names them GTest::gtest and GTest::gtest_main).
set(ORVEL_BOOST_SOURCE "${PROJECT_SOURCE_DIR}/build/windows-deps/boost"
  CACHE PATH "The boost1.74 sources with libs/program_options/src and libs/filesystem/src")
if(NOT EXISTS "${ORVEL_BOOST_SOURCE}/libs/filesystem/src/operations.cpp")
  message(FATAL_ERROR "Boost sources not found in ${ORVEL_BOOST_SOURCE}: run tools/install-deps.sh windows")
endif()

set(boost_include "${CMAKE_BINARY_DIR}/boost-include")
file(MAKE_DIRECTORY "${boost_include}")
file(CREATE_LINK /usr/include/boost "${boost_include}/boost" SYMBOLIC)

add_library(orvel_boost_headers INTERFACE)
target_include_directories(orvel_boost_headers SYSTEM INTERFACE "${boost_include}")
target_compile_definitions(orvel_boost_headers INTERFACE BOOST_ALL_NO_LIB _WIN32_WINNT=0x0601)
add_library(Boost::boost ALIAS orvel_boost_headers)
add_library(Boost::system ALIAS orvel_boost_headers)
add_library(Boost::date_time ALIAS orvel_boost_headers)

set(json_include "${CMAKE_BINARY_DIR}/json-include")
file(MAKE_DIRECTORY "${json_include}")
file(CREATE_LINK /usr/include/nlohmann "${json_include}/nlohmann" SYMBOLIC)
add_library(orvel_json_headers INTERFACE)
target_include_directories(orvel_json_headers SYSTEM INTERFACE "${json_include}")
add_library(nlohmann_json::nlohmann_json ALIAS orvel_json_headers)

file(GLOB boost_program_options_sources "${ORVEL_BOOST_SOURCE}/libs/program_options/src/*.cpp")
add_library(orvel_boost_program_options STATIC ${boost_program_options_sources})
target_link_libraries(orvel_boost_program_options PUBLIC orvel_boost_headers)
target_compile_options(orvel_boost_program_options PRIVATE -w)
add_library(Boost::program_options ALIAS orvel_boost_program_options)

file(GLOB boost_filesystem_sources "${ORVEL_BOOST_SOURCE}/libs/filesystem/src/*.cpp")
add_library(orvel_boost_filesystem STATIC ${boost_filesystem_sources})
target_link_libraries(orvel_boost_filesystem PUBLIC orvel_boost_headers)
target_compile_definitions(orvel_boost_filesystem
  PRIVATE BOOST_FILESYSTEM_SOURCE BOOST_FILESYSTEM_HAS_BCRYPT
  PUBLIC BOOST_FILESYSTEM_STATIC_LINK=1)
target_compile_options(orvel_boost_filesystem PRIVATE -w)
# bcrypt: the random source of unique_path and of Boost.Uuid's generator.
target_link_libraries(orvel_boost_filesystem PUBLIC bcrypt)
add_library(Boost::filesystem ALIAS orvel_boost_filesystem)

if(BUILD_TESTING)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
endif()
