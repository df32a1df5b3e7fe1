# The media facades (players, tools, export) decode and encode with Debian's FFmpeg libraries.
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample libswscale)
target_link_libraries(qv_platform PUBLIC PkgConfig::FFMPEG)
# The HTTP facility speaks through libcurl (its OpenSSL flavour).
find_package(CURL REQUIRED)
# An added CA goes into the trust store of libcurl's OpenSSL context.
target_link_libraries(qv_platform PUBLIC CURL::libcurl OpenSSL::SSL)
# The browser's windows on X11 (titles, always-on-top, the active window) go through Xlib.
find_package(X11 REQUIRED)
target_link_libraries(qv_platform PUBLIC X11::X11)
