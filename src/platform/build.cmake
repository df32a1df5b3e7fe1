# The modules (platform/ffmpeg/, platform/curl/) hold the FFmpeg and libcurl code; the layer
# itself only loads them (dlopen), so neither is mapped before its first use.
target_link_libraries(qv_platform PUBLIC ${CMAKE_DL_LIBS})
# Each module links the layer's own helpers into itself.
set_target_properties(qv_base qv_platform PROPERTIES POSITION_INDEPENDENT_CODE ON)
# The browser's windows on X11 (titles, always-on-top, the active window) go through Xlib.
find_package(X11 REQUIRED)
target_link_libraries(qv_platform PUBLIC X11::X11)
