# The HTTP engine: libcurl (its OpenSSL flavour) as a module of its own, which the HTTP facility
# loads on first use (platform/http.h). An added CA goes into the trust store of libcurl's
# OpenSSL context, so the module links libssl too.
find_package(CURL REQUIRED)
qv_add_module(qv_http_curl
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/http_curl.cpp
  LIBS qv_platform CURL::libcurl OpenSSL::SSL)
