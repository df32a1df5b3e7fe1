# The media engine: the FFmpeg readers and writers as a module of their own, which the media
# facility loads on first use (platform/media_engine.h). Only its entry point is exported.
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample libswscale)
add_library(qv_media_ffmpeg MODULE
  ${CMAKE_CURRENT_LIST_DIR}/engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/media_source.cpp
  ${CMAKE_CURRENT_LIST_DIR}/media_sink.cpp)
target_link_libraries(qv_media_ffmpeg PRIVATE qv_platform PkgConfig::FFMPEG)
target_link_options(qv_media_ffmpeg PRIVATE -Wl,--as-needed -Wl,--exclude-libs,ALL)
# Every symbol resolved at link time, not at the first load; clang's fuzzing runtime is linked
# into the programs only, so its module leaves those symbols to them.
if(NOT QV_FUZZ)
  target_link_options(qv_media_ffmpeg PRIVATE -Wl,--no-undefined)
endif()
set_target_properties(qv_media_ffmpeg PROPERTIES
  LIBRARY_OUTPUT_DIRECTORY ${QV_MODULE_DIR}
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
foreach(copy IN LISTS QV_MODULE_COPIES)
  add_custom_command(TARGET qv_media_ffmpeg POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${copy}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:qv_media_ffmpeg> ${copy})
endforeach()
list(APPEND QV_MODULES qv_media_ffmpeg)
