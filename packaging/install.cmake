# Installation and the Debian package (cmake --install, cpack -G DEB).
#
# A user's installation carries what a user runs: the viewer, the snapshot program, the scene
# writer and the import helper they start (found beside them), a manual page for each, the demo scene, and a desktop entry with its icon for the
# model types the viewer opens. redowl-speck-count (counts specks in test pictures) and
# redowl-big-model (writes the 2-million-triangle test model) measure the tracer for its
# developers: they are built in the build tree but not installed.
include(GNUInstallDirs)

set(REDOWL_INSTALLED_PROGRAMS redowl redowl-snapshot redowl-demo-scene redowl-import)
install(TARGETS ${REDOWL_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Only the libraries a program calls are recorded as needed (assimp's CMake package drags in its
# own dependencies, e.g. draco, which the package would otherwise depend on for nothing).
foreach(program ${REDOWL_INSTALLED_PROGRAMS})
  target_link_options(${program} PRIVATE LINKER:--as-needed)
endforeach()

# The programs find the installed demo relative to themselves, so an installation can live under
# any prefix; and they print the project's version.
file(RELATIVE_PATH REDOWL_DATA_FROM_BIN "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_DATADIR}/redowl")
set_property(SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/app/start_folder.cpp APPEND PROPERTY
             COMPILE_DEFINITIONS "REDOWL_DATA_FROM_BIN=\"${REDOWL_DATA_FROM_BIN}\"")
set_property(SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/app/command_line.cpp APPEND PROPERTY
             COMPILE_DEFINITIONS "REDOWL_VERSION=\"${PROJECT_VERSION}\"")

# The demo scene, written by the scene writer at build time (not beside the built programs: a
# program run from the build tree is not an installed one).
set(REDOWL_DEMO_DATA ${CMAKE_CURRENT_BINARY_DIR}/installed-data/demo)
add_custom_command(
  OUTPUT ${REDOWL_DEMO_DATA}/release.cgf
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${REDOWL_DEMO_DATA}
  COMMAND redowl-demo-scene ${REDOWL_DEMO_DATA}
  DEPENDS redowl-demo-scene
  COMMENT "Writing the demo scene to install")
add_custom_target(redowl_demo_data ALL DEPENDS ${REDOWL_DEMO_DATA}/release.cgf)
install(DIRECTORY ${REDOWL_DEMO_DATA} DESTINATION ${CMAKE_INSTALL_DATADIR}/redowl)

# Manual pages, compressed as Debian installs them.
set(REDOWL_MAN_PAGES)
foreach(program ${REDOWL_INSTALLED_PROGRAMS})
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/packaging/man/${program}.1 ${page}
    COMMAND gzip -9nf ${page}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/man/${program}.1)
  list(APPEND REDOWL_MAN_PAGES ${page}.gz)
endforeach()
add_custom_target(redowl_man_pages ALL DEPENDS ${REDOWL_MAN_PAGES})
install(FILES ${REDOWL_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The desktop entry, its icon (made by packaging/make-icon) and the one model type it opens
# that the shared MIME database lacks.
install(FILES packaging/redowl.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 48 128 256)
  install(FILES packaging/icons/redowl-${size}.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME redowl.png)
endforeach()
install(FILES packaging/redowl-mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages RENAME redowl.xml)

# The Debian package. Its library dependencies are computed from the programs by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME redowl)
set(CPACK_PACKAGE_VENDOR "Red Owl team")
set(CPACK_PACKAGE_CONTACT "Red Owl team <redowl@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "3D model viewer with shadows ray-traced on the processor in real time")
# The long description under the summary line (CPack indents it and marks the empty line).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Red Owl shows scenes of textured triangle models (3DS, OBJ, PLY, STL, glTF,
FBX, Collada and the other formats assimp reads) in an OpenGL window and
ray-traces them on the processor with worker threads: shadows over the OpenGL
preview, or a fully traced image with one mirror bounce. Once the view holds
still the picture settles into an anti-aliased image with soft shadows.

The package holds the viewer (redowl), a program that renders pictures
without a window (redowl-snapshot), the scene writer (redowl-demo-scene), the
import helper that reads model files for them in a process of its own
(redowl-import) and the demo scene.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not a library: the X server redowl-snapshot starts for itself where there is no display.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xvfb)
include(CPack)

# The installation and the package as a user gets them (in the plain build: the sanitizer
# builds check the same programs' code by the other tests).
if(NOT REDOWL_SANITIZE)
  add_test(NAME InstallTest.TheInstalledProgramsRenderTheUsersCopyOfTheDemo
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/packaging/install_test.sh ${CMAKE_CURRENT_BINARY_DIR} ${PROJECT_VERSION})
  add_test(NAME PackageTest.TheDebianPackageHoldsTheProgramsAndDependsOnWhatTheyLink
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/packaging/package_test.sh ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(InstallTest.TheInstalledProgramsRenderTheUsersCopyOfTheDemo
                       PackageTest.TheDebianPackageHoldsTheProgramsAndDependsOnWhatTheyLink PROPERTIES TIMEOUT 300)
endif()
