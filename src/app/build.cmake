# The web UI: web/ is packed with tools/qvn_pack into a "QVNPACK2" pack, which the assembler
# pulls into a read-only section of qv_app with .incbin. The pack is rewritten when any file of
# web/ or the tool changes, and the assembler object when the pack does.
enable_language(ASM)

file(GLOB_RECURSE QV_WEB_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/web/*)
# The list of files is a dependency too, so that removing a file also repacks; file(CONFIGURE)
# rewrites it only when the list changes.
list(JOIN QV_WEB_FILES "\n" QV_WEB_FILE_LIST)
set(QV_WEB_FILE_LIST_FILE ${CMAKE_BINARY_DIR}/web.pack.files)
file(CONFIGURE OUTPUT ${QV_WEB_FILE_LIST_FILE} CONTENT "${QV_WEB_FILE_LIST}\n" @ONLY)
set(QV_WEB_PACK ${CMAKE_BINARY_DIR}/web.pack)
add_custom_command(
  OUTPUT ${QV_WEB_PACK}
  COMMAND qvn_pack --format 2 ${CMAKE_SOURCE_DIR}/web ${QV_WEB_PACK}
  DEPENDS qvn_pack ${QV_WEB_FILES} ${QV_WEB_FILE_LIST_FILE}
  COMMENT "Packing web/ into web.pack"
  VERBATIM)
add_custom_target(qv_web_pack DEPENDS ${QV_WEB_PACK})

set(QV_WEB_PACK_ASM ${CMAKE_SOURCE_DIR}/src/app/assets/embedded_pack.S)
target_sources(qv_app PRIVATE ${QV_WEB_PACK_ASM})
set_source_files_properties(${QV_WEB_PACK_ASM} PROPERTIES
  OBJECT_DEPENDS ${QV_WEB_PACK}
  COMPILE_DEFINITIONS "QV_WEB_PACK_FILE=\"${QV_WEB_PACK}\"")
add_dependencies(qv_app qv_web_pack)

# The update server. The default host lies under the reserved .invalid domain, so a default build
# never reaches a real server; a release sets its own (README, "Update server").
set(QV_UPDATE_SERVER_URL "https://updates.quorvane.invalid"
  CACHE STRING "Base URL (https, no trailing slash) of the web asset pack update server")
set(QV_UPDATE_CA_FILE ""
  CACHE STRING "PEM file of the only CAs the update check trusts (empty: the system trust store)")
if(NOT QV_UPDATE_SERVER_URL MATCHES "^https://[^/ ]+$")
  message(FATAL_ERROR "QV_UPDATE_SERVER_URL must be https://host[:port] without a path")
endif()
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/app/update/ota_check.cpp PROPERTIES
  COMPILE_DEFINITIONS "QV_UPDATE_SERVER_URL=\"${QV_UPDATE_SERVER_URL}\";QV_UPDATE_CA_FILE=\"${QV_UPDATE_CA_FILE}\"")
