# The HTTP facility speaks through libcurl (its OpenSSL flavour).
find_package(CURL REQUIRED)
target_link_libraries(qv_platform PUBLIC CURL::libcurl)
