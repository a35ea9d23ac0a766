# Manual pages, made at build time from each program's own --help and
# --version by help2man, so that they never disagree with the program. A
# machine without help2man builds and installs everything else.
find_program(CUBE_HELP2MAN help2man)
set(cube_man_pages OFF)
if(NOT CUBE_HELP2MAN)
  message(STATUS "Manual pages skipped: help2man was not found (install help2man)")
elseif(CMAKE_CROSSCOMPILING)
  message(STATUS "Manual pages skipped: help2man cannot run the programs of another machine")
else()
  set(cube_man_pages ON)
endif()
set(cube_man_dir ${PROJECT_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${cube_man_dir})

# cube_man_page(TARGET DESCRIPTION): the section-1 page of the program
# TARGET, whose NAME line says DESCRIPTION, built with it and installed to
# man1 beside the commands.
function(cube_man_page target description)
  if(NOT cube_man_pages)
    return()
  endif()
  set(page ${cube_man_dir}/${target}.1)
  add_custom_command(OUTPUT ${page}
    # A sanitized build's leak checker must not turn a help into a failure.
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
      ${CUBE_HELP2MAN} --no-info --section=1 --name=${description} --output=${page} $<TARGET_FILE:${target}>
    DEPENDS ${target}
    COMMENT "Writing the manual page of ${target}"
    VERBATIM)
  add_custom_target(${target}_man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
endfunction()
