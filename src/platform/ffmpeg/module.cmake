# The media engine: the FFmpeg readers and writers as a module of their own, which the media
# facility loads on first use (platform/media_engine.h).
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample libswscale)
qv_add_module(qv_media_ffmpeg
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine.cpp ${CMAKE_CURRENT_LIST_DIR}/media_source.cpp
          ${CMAKE_CURRENT_LIST_DIR}/media_sink.cpp
  LIBS qv_platform PkgConfig::FFMPEG)
