# The media facility decodes with Debian's FFmpeg libraries.
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
target_link_libraries(qv_platform PUBLIC PkgConfig::FFMPEG)
