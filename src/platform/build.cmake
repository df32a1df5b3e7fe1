# The browser's windows on X11 (titles, always-on-top, the active window) go through Xlib.
find_package(X11 REQUIRED)
target_link_libraries(qv_platform PUBLIC X11::X11)
