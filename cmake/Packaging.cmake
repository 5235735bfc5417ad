# The Debian package: both programs, their man pages, and what resources/ installs for the
# desktop. Runtime dependencies come from dpkg-shlibdeps, so they follow what the programs link.
#   cmake --build build && (cd build && cpack -G DEB)

find_program(GZIP_PROGRAM gzip REQUIRED)

# brenvik_man_page(NAME [LANGUAGE]): installs resources/man/[LANGUAGE/]NAME compressed, as Debian
# keeps man pages; a translated page goes where man looks for the user's language.
function(brenvik_man_page page)
  set(language ${ARGN})
  set(folder man)
  if(language)
    set(folder man/${language})
  endif()
  set(source ${PROJECT_SOURCE_DIR}/resources/${folder}/${page})
  set(compressed ${PROJECT_BINARY_DIR}/${folder}/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/${folder}
    COMMAND sh -c "'${GZIP_PROGRAM}' -9n -c '${source}' > '${compressed}'"
    DEPENDS ${source} VERBATIM)
  string(MAKE_C_IDENTIFIER "${language}${page}" target)
  add_custom_target(man_${target} ALL DEPENDS ${compressed})
  if(language)
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/${language}/man1)
  else()
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endfunction()

foreach(language "" zh_CN)
  if(TARGET brenvik)
    brenvik_man_page(brenvik.1 ${language})
  endif()
  # The command-line program installs itself beside the window (cli/CMakeLists.txt).
  if(TARGET brenvik-cli)
    brenvik_man_page(brenvik-cli.1 ${language})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brenvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "toolbox for the work after a data recovery")
set(CPACK_PACKAGE_CONTACT "Brenvik developers <brenvik@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The install step then sees the real prefix (/usr), so the polkit action names /usr/bin/brenvik.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The metadata and hash libraries, named as well as found by dpkg-shlibdeps, so the package says
# what File Rename's media names and Invalid Files' duplicates need even where it is built without.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libexiv2-27, libtag1v5, libxxhash0")
# Not linked, so dpkg-shlibdeps cannot see them: pkexec for "brenvik --admin", a Chinese font
# for the N.S Image page's messages and the Chinese texts, Qt's own translations (the buttons of
# message boxes and dialogs), and the Wayland platform plugin for a Wayland session without X11
# (it brings a compositor's worth of libraries, so it is only suggested).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2, pkexec, fonts-wqy-microhei | fonts-noto-cjk, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS qt6-wayland)
set(CPACK_PACKAGE_DESCRIPTION "Brenvik sorts out useless recovered files, fixes extensions from content,
renames documents and archives after what is inside them, rebuilds damaged
database files from reference copies, images disks of non-standard sector
size (520-byte SCSI disks), and maps NTFS MFT records across RAID members.")

include(CPack)
