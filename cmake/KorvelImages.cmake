# The application's images are drawn as SVG (resources/svg/) and rendered at
# build time: rsvg-convert (librsvg) turns each drawing into PNG at the sizes the
# window asks for, and ImageMagick assembles the multi-size icon file and the
# busy dialog's animation from rendered frames. scripts/install-deps installs
# both tools.

find_program(KORVEL_RSVG_CONVERT rsvg-convert REQUIRED)
# Debian names ImageMagick 6 convert-im6.q16 (convert is an alternative link).
find_program(KORVEL_IMAGEMAGICK NAMES convert-im6.q16 magick convert REQUIRED)

set(KORVEL_SVG_DIR ${PROJECT_SOURCE_DIR}/resources/svg)

# korvel_render_svg(svg output width height): output is svg rendered at width x
# height pixels.
function(korvel_render_svg svg output width height)
  get_filename_component(folder ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${KORVEL_RSVG_CONVERT} --width=${width} --height=${height} --format=png --output=${output} ${svg}
    DEPENDS ${svg}
    COMMENT "Rendering ${svg} at ${width}x${height}"
    VERBATIM)
endfunction()

# korvel_add_images(target): renders every image the window uses and compiles
# them into target under :/crypt/ (resource name "crypt", so Q_INIT_RESOURCE(crypt)
# registers them). Each PNG has a twin at twice its size, name@2x.png, that QIcon
# picks on a screen scaled to 200%.
function(korvel_add_images target)
  set(out ${PROJECT_BINARY_DIR}/resources/crypt)
  # resource name, SVG drawing, width, height
  set(pictures
    "crypt.png crypt 64 64"
    "CryptIcon48.png crypt 48 48"
    "key32.png key 32 32"
    "key48.png key 48 48"
    "key64.png key 64 64"
    "lock_open48.png lock_open 48 48"
    "openfiles64.png openfiles 64 64"
    "openfolder64.png openfolder 64 64"
    "cleanList64.png cleanList 64 64"
    "cleanDone64.png cleanDone 64 64"
    "cleanFailed64.png cleanFailed 64 64"
    "cleanWaiting64.png cleanWaiting 64 64"
    "deletelocked48.png deletelocked 48 48"
    "deletelocked.png deletelocked 32 32"
    "settings32.png settings 32 32"
    "drophere.png drophere 256 160"
    "decrypt128.png decrypt 128 128"
    "eye40.png eye 40 40"
    "shell-windows.png shell-windows 48 48"
    "keyhole64.png keyhole 64 64")
  set(files)
  foreach(picture ${pictures})
    separate_arguments(picture UNIX_COMMAND "${picture}")
    list(GET picture 0 name)
    list(GET picture 1 drawing)
    list(GET picture 2 width)
    list(GET picture 3 height)
    get_filename_component(base ${name} NAME_WLE)
    math(EXPR width2 "${width} * 2")
    math(EXPR height2 "${height} * 2")
    korvel_render_svg(${KORVEL_SVG_DIR}/${drawing}.svg ${out}/${name} ${width} ${height})
    korvel_render_svg(${KORVEL_SVG_DIR}/${drawing}.svg ${out}/${base}@2x.png ${width2} ${height2})
    list(APPEND files ${out}/${name} ${out}/${base}@2x.png)
  endforeach()

  # The icon file holds the application icon at every size a file manager or a
  # task bar asks of one.
  set(frames ${PROJECT_BINARY_DIR}/resources/frames)
  set(ico_parts)
  foreach(size 16 24 32 48 64 128 256)
    korvel_render_svg(${KORVEL_SVG_DIR}/crypt.svg ${frames}/CryptIcon-${size}.png ${size} ${size})
    list(APPEND ico_parts ${frames}/CryptIcon-${size}.png)
  endforeach()
  add_custom_command(OUTPUT ${out}/CryptIcon.ico
    COMMAND ${KORVEL_IMAGEMAGICK} ${ico_parts} ${out}/CryptIcon.ico
    DEPENDS ${ico_parts}
    COMMENT "Assembling CryptIcon.ico"
    VERBATIM)
  list(APPEND files ${out}/CryptIcon.ico)

  # The animation's drawing stacks its twelve 220 x 20 frames from top to bottom:
  # cut apart, they play 80 ms each, for ever, each frame replacing the last.
  korvel_render_svg(${KORVEL_SVG_DIR}/loaderAnimated.svg ${frames}/loaderAnimated.png 220 240)
  add_custom_command(OUTPUT ${out}/loaderAnimated.gif
    COMMAND ${KORVEL_IMAGEMAGICK} ${frames}/loaderAnimated.png -crop 220x20 +repage
      -set delay 8 -set dispose Background -loop 0 ${out}/loaderAnimated.gif
    DEPENDS ${frames}/loaderAnimated.png
    COMMENT "Assembling loaderAnimated.gif"
    VERBATIM)
  list(APPEND files ${out}/loaderAnimated.gif)

  qt_add_resources(${target} crypt PREFIX /crypt BASE ${out} FILES ${files})
endfunction()

# korvel_add_desktop_icons(folder): renders the application icon into the
# hicolor theme sizes under folder/<N>x<N>/apps/korvelcrypt.png, built with
# everything else (target korvel_desktop_icons). Each size is rendered from the
# drawing itself, so that small ones stay sharp.
function(korvel_add_desktop_icons folder)
  set(icons)
  foreach(size ${KORVEL_ICON_SIZES})
    korvel_render_svg(${KORVEL_SVG_DIR}/crypt.svg ${folder}/${size}x${size}/apps/korvelcrypt.png ${size} ${size})
    list(APPEND icons ${folder}/${size}x${size}/apps/korvelcrypt.png)
  endforeach()
  add_custom_target(korvel_desktop_icons ALL DEPENDS ${icons})
endfunction()
