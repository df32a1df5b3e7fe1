# The frame conversion runs for every pixel a player sends; its row loop is written to be
# vectorised, which GCC does at -O3 only.
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/media/player_frames.cpp PROPERTIES
  COMPILE_OPTIONS "$<$<NOT:$<CONFIG:Debug>>:-O3>")
