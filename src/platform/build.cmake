# The media engine module (platform/ffmpeg/) holds the FFmpeg code; the layer itself only
# loads it (dlopen), so nothing of FFmpeg is mapped before the first reader or writer.
target_link_libraries(qv_platform PUBLIC ${CMAKE_DL_LIBS})
# The module links the layer's own helpers into itself.
set_target_properties(qv_base qv_platform PROPERTIES POSITION_INDEPENDENT_CODE ON)
# The HTTP facility speaks through libcurl (its OpenSSL flavour).
find_package(CURL REQUIRED)
# An added CA goes into the trust store of libcurl's OpenSSL context.
target_link_libraries(qv_platform PUBLIC CURL::libcurl OpenSSL::SSL)
# The browser's windows on X11 (titles, always-on-top, the active window) go through Xlib.
find_package(X11 REQUIRED)
target_link_libraries(qv_platform PUBLIC X11::X11)
