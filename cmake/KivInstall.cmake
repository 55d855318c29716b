# Install rules. An installed system looks like:
#   <prefix>/bin/               kivd, kivcmd, kivmon, hsequtils
#   <prefix>/<libdir>/kiv/      the daemon's home (its installation directory):
#       plugins/                  the output plug-ins, loaded by name
#       src/kivd                  link to the program, re-executed on restart
#       www                       link to KIV_RUNTIME_DIR, for warnings.json
#   <prefix>/include/kiv/       the headers user plug-ins are built against
#   <prefix>/share/kiv/demo/    the demo show, a media directory to copy
#   <prefix>/share/kiv/www/     pages of the web server, linked into KIV_RUNTIME_DIR
#   <prefix>/share/man/         manual pages of the programs and file formats
#   KIV_SYSTEMD_UNIT_DIR        kivd.service, when set
# kivd finds its home from where it runs (<prefix>/bin), so a staged or
# relocated tree works too. The Debian package is built from these rules.
include(GNUInstallDirs)

set(KIV_INSTALL_HOME "${CMAKE_INSTALL_LIBDIR}/kiv" CACHE STRING
    "The daemon's home below the prefix: plug-ins, restart link, www")
set(KIV_RUNTIME_DIR "/run/kiv" CACHE PATH "Folder an installed kivd writes its warnings file into")
set(KIV_SYSTEMD_UNIT_DIR "" CACHE PATH "Install kivd.service into this folder (empty: not installed)")
option(KIV_MANPAGES "Build the file-format manual pages from docs/ (needs pandoc)" OFF)

foreach(v CMAKE_INSTALL_BINDIR KIV_INSTALL_HOME)
  if(IS_ABSOLUTE "${${v}}")
    file(RELATIVE_PATH ${v}_REL "${CMAKE_INSTALL_PREFIX}" "${${v}}")
  else()
    set(${v}_REL "${${v}}")
  endif()
endforeach()
target_compile_definitions(kivcore PRIVATE KIV_INSTALL_BINDIR_REL="${CMAKE_INSTALL_BINDIR_REL}"
                           KIV_INSTALL_HOME_REL="${KIV_INSTALL_HOME_REL}")

install(TARGETS kivd hsequtils kivcmd kivmon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR_REL})
foreach(plugin UDP GenericUDP HTTPVirtualDisplay SPIPixels DMXSerial)
  if(TARGET ${plugin})
    install(TARGETS ${plugin} LIBRARY DESTINATION ${KIV_INSTALL_HOME_REL}/plugins)
  endif()
endforeach()
install(DIRECTORY include/kiv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
file(RELATIVE_PATH KIV_KIVD_LINK "/${KIV_INSTALL_HOME_REL}/src" "/${CMAKE_INSTALL_BINDIR_REL}/kivd")
install(CODE "
  set(home \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${KIV_INSTALL_HOME_REL}\")
  file(MAKE_DIRECTORY \"\${home}/src\")
  message(STATUS \"Installing: \${home}/src/kivd -> ${KIV_KIVD_LINK}\")
  file(CREATE_LINK \"${KIV_KIVD_LINK}\" \"\${home}/src/kivd\" SYMBOLIC)
  message(STATUS \"Installing: \${home}/www -> ${KIV_RUNTIME_DIR}\")
  file(CREATE_LINK \"${KIV_RUNTIME_DIR}\" \"\${home}/www\" SYMBOLIC)
")

# Pages of the web server: <home>/www is the runtime folder, so they are
# installed with the data and linked into it at boot (debian/kiv.tmpfiles).
file(GLOB KIV_WWW_PAGES ${CMAKE_SOURCE_DIR}/src/www/*)
install(FILES ${KIV_WWW_PAGES} DESTINATION ${CMAKE_INSTALL_DATADIR}/kiv/www)

# The demo show: the bundled media directory with its songs generated here.
set(KIV_DEMO_SONGS welcome.hseq song-1.hseq song-2.hseq song-3.hseq)
set(KIV_DEMO_OUT ${CMAKE_BINARY_DIR}/demo)
list(TRANSFORM KIV_DEMO_SONGS PREPEND ${KIV_DEMO_OUT}/sequences/ OUTPUT_VARIABLE KIV_DEMO_FILES)
set(KIV_DEMO_MUSIC welcome.mp3 song-1.mp3 song-2.mp3 song-3.mp3)
list(TRANSFORM KIV_DEMO_MUSIC PREPEND ${KIV_DEMO_OUT}/music/ OUTPUT_VARIABLE KIV_DEMO_MUSIC_FILES)
add_custom_command(OUTPUT ${KIV_DEMO_FILES} ${KIV_DEMO_MUSIC_FILES}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${KIV_DEMO_OUT}/sequences
  COMMAND ${CMAKE_COMMAND} -E env "KIV_HSEQGEN=${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:hseqgen>"
          bash ${CMAKE_SOURCE_DIR}/scripts/demo-media.sh ${CMAKE_BINARY_DIR} ${KIV_DEMO_OUT}
  DEPENDS hseqgen ${CMAKE_SOURCE_DIR}/scripts/demo-media.sh
  COMMENT "Generating the demo show's songs")
add_custom_target(kiv_demo_songs ALL DEPENDS ${KIV_DEMO_FILES} ${KIV_DEMO_MUSIC_FILES})
install(FILES demo/media/settings DESTINATION ${CMAKE_INSTALL_DATADIR}/kiv/demo)
install(DIRECTORY demo/media/config demo/media/playlists DESTINATION ${CMAKE_INSTALL_DATADIR}/kiv/demo)
install(FILES ${KIV_DEMO_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/kiv/demo/sequences)
install(FILES ${KIV_DEMO_MUSIC_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/kiv/demo/music)

# Manual pages: the programs' are written by hand; the file formats' are
# the documents in docs/, converted.
install(FILES man/kivd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES man/kivcmd.1 man/kivmon.1 man/hsequtils.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(KIV_MANPAGES)
  find_program(KIV_PANDOC pandoc REQUIRED)
  # page|section|document|what it describes
  set(KIV_FORMAT_PAGES
      "kiv-hseq|5|sequence-file-format|the .hseq sequence file format"
      "kiv-media|5|media-directory|the media directory and the installation directory"
      "kiv-settings|5|settings|the settings file of kivd"
      "kiv-outputs|5|outputs|channeloutputs.json, where kivd sends each frame"
      "kiv-playlists|5|playlists|playlist files of kivd"
      "kiv-schedule|5|schedule|schedule.json, when kivd plays which playlist"
      "kiv-command-presets|5|command-presets|commandPresets.json, commands bound to events"
      "kiv-overlay-models|5|overlay-models|overlay-models.json, pixel overlay models"
      "kiv-music|5|media|music and video files, the sound device and the video on overlay models"
      "kiv-commands|7|commands|the commands kivd accepts")
  set(KIV_MAN_OUT)
  foreach(p IN LISTS KIV_FORMAT_PAGES)
    string(REPLACE "|" ";" f "${p}")
    list(GET f 0 page)
    list(GET f 1 sec)
    list(GET f 2 doc)
    list(GET f 3 what)
    set(out ${CMAKE_BINARY_DIR}/man/${page}.${sec})
    add_custom_command(OUTPUT ${out}
      COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/doc-to-man.sh ${page} ${sec} "${what}"
              ${CMAKE_SOURCE_DIR}/docs/${doc}.md ${out} ${PROJECT_VERSION}
      DEPENDS ${CMAKE_SOURCE_DIR}/docs/${doc}.md ${CMAKE_SOURCE_DIR}/scripts/doc-to-man.sh
      COMMENT "Manual page ${page}(${sec})")
    list(APPEND KIV_MAN_OUT ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${sec})
  endforeach()
  add_custom_target(kiv_manpages ALL DEPENDS ${KIV_MAN_OUT})
endif()

if(KIV_SYSTEMD_UNIT_DIR)
  configure_file(dist/systemd/kivd.service.in ${CMAKE_BINARY_DIR}/dist/kivd.service @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/dist/kivd.service DESTINATION ${KIV_SYSTEMD_UNIT_DIR})
endif()

# The install test needs to know where the home lands below the prefix.
if(TARGET kivtestsupport)
  target_compile_definitions(kivtestsupport PUBLIC KIV_TEST_INSTALL_HOME_REL="${KIV_INSTALL_HOME_REL}")
endif()
