# The media facades (players, tools, export) decode and encode with Debian's FFmpeg libraries.
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample libswscale)
target_link_libraries(qv_platform PUBLIC PkgConfig::FFMPEG)
