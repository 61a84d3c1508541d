# What Windows shows of a program before it runs: the icon (Explorer, the
# taskbar, the uninstall list), the version information (Properties, Task
# Manager) and, for the window programs, a manifest. The icon is drawn from
# the same SVG as the Linux desktop icon, at build time.

find_program(KORVALEN_RSVG_CONVERT rsvg-convert)
find_program(KORVALEN_ICOTOOL icotool)
if(NOT KORVALEN_RSVG_CONVERT OR NOT KORVALEN_ICOTOOL)
  message(FATAL_ERROR "The Windows programs' icon needs rsvg-convert and icotool: "
                      "scripts/install-deps.sh librsvg2-bin icoutils")
endif()

set(KORVALEN_COMPANY "KORVALEN")
set(KORVALEN_PRODUCT "KORVALEN Firmware Updater")
set(KORVALEN_COPYRIGHT "2026 KORVALEN")
set(korvalen_resource_dir ${CMAKE_CURRENT_LIST_DIR})

# The sizes Windows asks for, from the 16-pixel list view to the 256-pixel
# tiles. The 256 image stays a PNG inside the .ico (as Windows expects it);
# the smaller ones become bitmaps, which every part of Windows reads.
set(korvalen_icon ${CMAKE_CURRENT_BINARY_DIR}/korvalen-updater.ico)
set(korvalen_icon_svg ${PROJECT_SOURCE_DIR}/packaging/korvalen-updater.svg)
set(korvalen_icon_commands)
set(korvalen_icon_bitmaps)
foreach(size 16 24 32 48 64 128 256)
  set(png ${CMAKE_CURRENT_BINARY_DIR}/icon/korvalen-updater-${size}.png)
  list(APPEND korvalen_icon_commands
       COMMAND ${KORVALEN_RSVG_CONVERT} --width=${size} --height=${size} --format=png
               --output=${png} ${korvalen_icon_svg})
  list(APPEND korvalen_icon_pngs ${png})
  if(size EQUAL 256)
    set(korvalen_icon_large ${png})
  else()
    list(APPEND korvalen_icon_bitmaps ${png})
  endif()
endforeach()
add_custom_command(
  OUTPUT ${korvalen_icon}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/icon
  ${korvalen_icon_commands}
  COMMAND ${KORVALEN_ICOTOOL} --create --output=${korvalen_icon} ${korvalen_icon_bitmaps}
          --raw=${korvalen_icon_large}
  DEPENDS ${korvalen_icon_svg}
  BYPRODUCTS ${korvalen_icon_pngs}
  COMMENT "Drawing the Windows icon from korvalen-updater.svg")
# One target makes the icon that every program's resources (and the
# installer) take.
add_custom_target(korvalen-icon DEPENDS ${korvalen_icon})

# korvalen_windows_resources(TARGET DESCRIPTION [WINDOW])
# Gives TARGET the icon and version information; WINDOW adds the manifest of
# the window programs.
function(korvalen_windows_resources target description)
  cmake_parse_arguments(PARSE_ARGV 2 arg "WINDOW" "" "")
  set(KORVALEN_RC_DESCRIPTION "${description}")
  set(KORVALEN_RC_FILENAME "${target}${CMAKE_EXECUTABLE_SUFFIX}")
  set(KORVALEN_RC_ICON "${korvalen_icon}")
  foreach(part MAJOR MINOR PATCH TWEAK)
    set(KORVALEN_RC_${part} "${PROJECT_VERSION_${part}}")
    if(KORVALEN_RC_${part} STREQUAL "")
      set(KORVALEN_RC_${part} 0)
    endif()
  endforeach()
  set(depends ${korvalen_icon})
  if(arg_WINDOW)
    set(manifest ${korvalen_resource_dir}/window-program.manifest)
    # 1 is the manifest the loader reads for an .exe, 24 is RT_MANIFEST.
    set(KORVALEN_RC_MANIFEST "1 24 \"${manifest}\"")
    list(APPEND depends ${manifest})
  else()
    set(KORVALEN_RC_MANIFEST "")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${korvalen_resource_dir}/program.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # windres reports no dependencies: name what the .rc pulls in.
  set_source_files_properties(${rc} TARGET_DIRECTORY ${target} PROPERTIES
                              OBJECT_DEPENDS "${depends}")
  add_dependencies(${target} korvalen-icon)
endfunction()
