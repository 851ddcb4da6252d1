# The libraries that only the window uses (common controls, themes, the window manager) are
# loaded on first use rather than when the program starts. A silent batch run then never loads
# them: under Wine that saves about 10 MB and a tenth of a second per start, most of it the
# start-up of the common controls and of the theme library. The window loads them with its
# first call into them (InitCommonControls comes before any control is made).
#
# Defines the interface library vellumora_window_only_libraries.
#
# MSVC: the system import libraries with /DELAYLOAD. MinGW: delay-load import libraries made
# by dlltool from cmake/delayload/*.def, which list the functions the program calls; a call to
# any other function of these libraries fails to link until it is added there.
set(_vellumora_window_only comctl32 uxtheme dwmapi)
add_library(vellumora_window_only_libraries INTERFACE)

if(MSVC)
  target_link_libraries(vellumora_window_only_libraries INTERFACE ${_vellumora_window_only} delayimp)
  foreach(_lib IN LISTS _vellumora_window_only)
    target_link_options(vellumora_window_only_libraries INTERFACE "/DELAYLOAD:${_lib}.dll")
  endforeach()
elseif(MINGW)
  if(CMAKE_DLLTOOL)
    set(VELLUMORA_DLLTOOL "${CMAKE_DLLTOOL}")
  else()
    get_filename_component(_vellumora_bin "${CMAKE_CXX_COMPILER}" DIRECTORY)
    find_program(VELLUMORA_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool HINTS "${_vellumora_bin}" REQUIRED)
  endif()
  set(_vellumora_delay_dir "${CMAKE_BINARY_DIR}/delayload")
  file(MAKE_DIRECTORY "${_vellumora_delay_dir}")
  set(_vellumora_delay_libs)
  foreach(_lib IN LISTS _vellumora_window_only)
    set(_def "${CMAKE_CURRENT_LIST_DIR}/delayload/${_lib}.def")
    set(_out "${_vellumora_delay_dir}/lib${_lib}-delay.a")
    # dlltool names the library's internal symbols after the output path as given: a bare file
    # name, so that the library is the same in every build folder (the release's relink kit).
    add_custom_command(OUTPUT "${_out}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${_vellumora_delay_dir}"
      COMMAND "${VELLUMORA_DLLTOOL}" --input-def "${_def}" --output-delaylib "lib${_lib}-delay.a"
      WORKING_DIRECTORY "${_vellumora_delay_dir}"
      DEPENDS "${_def}"
      COMMENT "Making the delay-load import library of ${_lib}"
      VERBATIM)
    list(APPEND _vellumora_delay_libs "${_out}")
  endforeach()
  add_custom_target(vellumora_delay_import_libraries DEPENDS ${_vellumora_delay_libs})
  add_dependencies(vellumora_window_only_libraries vellumora_delay_import_libraries)
  target_link_libraries(vellumora_window_only_libraries INTERFACE ${_vellumora_delay_libs})
else()
  target_link_libraries(vellumora_window_only_libraries INTERFACE ${_vellumora_window_only})
endif()
