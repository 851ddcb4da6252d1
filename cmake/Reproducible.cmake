# The same sources and compiler give the same executable wherever the tree is checked out:
# no build or source folder in the objects (__FILE__, debug paths) and, for MinGW, no link
# time stamp in the PE header. The resource compiler takes none of these options.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  # The build folder usually lies inside the source folder: its map comes last, so it wins.
  foreach(_dir IN ITEMS "${CMAKE_SOURCE_DIR}" "${CMAKE_BINARY_DIR}")
    add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${_dir}/=>")
  endforeach()
endif()
if(MINGW)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
