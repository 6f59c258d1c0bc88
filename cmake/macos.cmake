# The macOS product: the native backend (platform/macos/) and the two application bundles,
# Wattkeeper.app (the launch daemon) and Wattstarter.app (the login item), signed with their
# entitlements. Included by the top-level CMakeLists.txt on Apple systems only, once the portable
# libraries exist; the Linux backend and the virtual Mac are not built there.
#
# Cache variables:
#   WATTKEEPER_CODESIGN_IDENTITY  the identity codesign signs with; "-" (the default) signs ad hoc,
#                                 which runs on the Mac that built it.
#   CMAKE_OSX_DEPLOYMENT_TARGET   set before project() in the top level; 10.15 at least, for
#                                 std::filesystem and NSWorkspaceOpenConfiguration.

enable_language(OBJCXX)
set(CMAKE_OBJCXX_STANDARD 20)
set(CMAKE_OBJCXX_STANDARD_REQUIRED ON)
set(CMAKE_OBJCXX_EXTENSIONS OFF)

if(CMAKE_OSX_DEPLOYMENT_TARGET AND CMAKE_OSX_DEPLOYMENT_TARGET VERSION_LESS 10.15)
  message(FATAL_ERROR "CMAKE_OSX_DEPLOYMENT_TARGET must be 10.15 or later (it is ${CMAKE_OSX_DEPLOYMENT_TARGET})")
endif()

set(WATTKEEPER_CODESIGN_IDENTITY "-" CACHE STRING
    "Code-signing identity for the bundles (\"-\" signs ad hoc)")
find_program(WATTKEEPER_CODESIGN codesign REQUIRED)

# The backend: C++ everywhere, Objective-C++ (ARC) where AppKit or Foundation is called.
file(GLOB wk_macos_sources CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/platform/macos/*.cpp
     ${CMAKE_CURRENT_SOURCE_DIR}/platform/macos/*.mm)
add_library(wk_macos STATIC ${wk_macos_sources})
target_include_directories(wk_macos PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(wk_macos PUBLIC $<$<COMPILE_LANGUAGE:OBJCXX>:-fobjc-arc>)
target_link_libraries(wk_macos PUBLIC wk_platform
  "-framework CoreFoundation" "-framework IOKit" "-framework SystemConfiguration"
  "-framework CoreGraphics" "-framework Foundation" "-framework AppKit")

# One application bundle in <build>/bundles: its composition root, the information property list
# made from <dir>/Info.plist.in, the resources given as "<folder>" (copied into
# Contents/Resources with their subfolders), and a signature with the entitlements.
function(wattkeeper_macos_bundle name dir entitlements)
  cmake_parse_arguments(PARSE_ARGV 3 bundle "" "RESOURCES" "LIBRARIES")
  add_executable(${name} MACOSX_BUNDLE ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/main_macos.mm)
  target_link_libraries(${name} PRIVATE ${bundle_LIBRARIES} wk_macos)

  # Info.plist.in is filled here (name, version); CMake then takes the result as the bundle's
  # template, in which nothing is left to replace.
  set(WATTKEEPER_BUNDLE_NAME ${name})
  set(info ${CMAKE_CURRENT_BINARY_DIR}/${name}-Info.plist)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/${dir}/Info.plist.in ${info} @ONLY)
  set_target_properties(${name} PROPERTIES
    MACOSX_BUNDLE_INFO_PLIST ${info}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bundles)

  if(bundle_RESOURCES)
    set(root ${CMAKE_CURRENT_SOURCE_DIR}/${bundle_RESOURCES})
    file(GLOB_RECURSE resources CONFIGURE_DEPENDS ${root}/*)
    foreach(resource IN LISTS resources)
      file(RELATIVE_PATH relative ${root} ${resource})
      get_filename_component(folder ${relative} DIRECTORY)
      set_source_files_properties(${resource} PROPERTIES MACOSX_PACKAGE_LOCATION Resources/${folder})
    endforeach()
    target_sources(${name} PRIVATE ${resources})
  endif()

  # Signed last, over the finished bundle; a time stamp only with a real identity.
  if(WATTKEEPER_CODESIGN_IDENTITY STREQUAL "-")
    set(timestamp --timestamp=none)
  else()
    set(timestamp --timestamp)
  endif()
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${WATTKEEPER_CODESIGN} --force --sign ${WATTKEEPER_CODESIGN_IDENTITY} --options runtime ${timestamp}
            --entitlements ${CMAKE_CURRENT_SOURCE_DIR}/${entitlements} $<TARGET_BUNDLE_DIR:${name}>
    COMMENT "Signing ${name}.app (identity ${WATTKEEPER_CODESIGN_IDENTITY})"
    VERBATIM)
endfunction()

wattkeeper_macos_bundle(Wattkeeper apps/wattkeeper packaging/macos/Wattkeeper.entitlements
  LIBRARIES wk_daemon_core)
wattkeeper_macos_bundle(Wattstarter apps/wattstarter packaging/macos/Wattstarter.entitlements
  RESOURCES loginitem/resources
  LIBRARIES wk_loginitem)
