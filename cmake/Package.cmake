# What `cmake --install` and the Debian package carry besides the programs:
# the manual pages (docs/man, compressed at build time), the AppStream
# metadata, the documents, the copyright file and the package's changelog.
# `cpack -G DEB` (scripts/package) makes tarv-patcher_<version>_<arch>.deb
# with its dependencies computed from the programs' shared libraries.
include(GNUInstallDirs)

set(TARV_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tarv-patcher)

# Compressed copies as Debian installs them: gzip -9n keeps no name or time,
# so the same source gives the same bytes.
set(tarv_compressed)
function(tarv_gzip source output)
  add_custom_command(OUTPUT ${output}
                     COMMAND gzip -9n -c ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
  set(tarv_compressed ${tarv_compressed} ${output} PARENT_SCOPE)
endfunction()

file(GLOB tarv_man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.1)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
foreach(page ${tarv_man_pages})
  get_filename_component(name ${page} NAME)
  tarv_gzip(${page} ${CMAKE_BINARY_DIR}/man/${name}.gz)
  install(FILES ${CMAKE_BINARY_DIR}/man/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
tarv_gzip(${PROJECT_SOURCE_DIR}/resources/debian/changelog ${CMAKE_BINARY_DIR}/man/changelog.gz)
add_custom_target(tarv_packaged_files ALL DEPENDS ${tarv_compressed})

install(FILES ${CMAKE_BINARY_DIR}/man/changelog.gz
              ${PROJECT_SOURCE_DIR}/resources/debian/copyright
              ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${TARV_DOC_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${TARV_DOC_DIR}
        FILES_MATCHING PATTERN "*.md" PATTERN "man" EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/resources/org.obelk.tarv.patcher.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarv-patcher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Obelk)
set(CPACK_PACKAGE_CONTACT "Obelk <support@obelk.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "patch installer of the game Tarv")
# The first line of the control file's description is the summary above.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tarv-patcher brings a Tarv installation up to the newest version from a\n"
    "patch server (HTTP, HTTPS or FTP), in a window or, with --unattended,\n"
    "without one on a terminal. The package also holds the publisher's tool\n"
    "tarv-mkpatch, the difference tool jpatch and the unpacker tarv-unzip.")
# Not the game itself (no program in /usr/games): a utility beside it.
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The elevation prompt of the window mode; the window-less mode needs none.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
