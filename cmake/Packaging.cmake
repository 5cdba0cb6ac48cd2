# Installs the desktop's view of the program (entry, icons, AppStream
# metadata, Debian's documentation files) and describes the Debian package
# that CPack builds from the same tree (scripts/package.sh). Paths come from
# GNUInstallDirs so that bin/ and share/ stay side by side under any prefix:
# the program finds its icon relative to its own executable.
include(GNUInstallDirs)

set(ORVANTA_APP_ID com.tesselwick.Orvanta)
set(ORVANTA_DATA_DIR ${CMAKE_CURRENT_LIST_DIR}/../data)

install(FILES ${ORVANTA_DATA_DIR}/${ORVANTA_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${ORVANTA_DATA_DIR}/${ORVANTA_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 48 64 128 256 512)
  install(FILES ${ORVANTA_DATA_DIR}/icons/${size}x${size}/${ORVANTA_APP_ID}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Debian wants the copyright and a changelog compressed without a time stamp
# under /usr/share/doc/<package>.
set(ORVANTA_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${ORVANTA_CHANGELOG_GZ}
  COMMAND sh -c "gzip -9 -n -c \"$1\" > \"$2\"" sh ${ORVANTA_DATA_DIR}/changelog ${ORVANTA_CHANGELOG_GZ}
  DEPENDS ${ORVANTA_DATA_DIR}/changelog
  VERBATIM)
add_custom_target(orvanta_changelog ALL DEPENDS ${ORVANTA_CHANGELOG_GZ})
install(FILES ${ORVANTA_DATA_DIR}/copyright ${ORVANTA_CHANGELOG_GZ}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvanta)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvanta)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Tesselwick)
set(CPACK_PACKAGE_CONTACT "Tesselwick <maintainers@users.noreply.c-seed-8e5a64bf.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network camera watcher with motion upload to Google Drive")
# The summary is the synopsis line; this is the text under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Orvanta watches up to nine RTSP cameras, shows live previews, detects motion by
comparing successive frames and uploads motion frames as JPEG files to the
user's Google Drive once access has been granted in the browser.")
# A Debian revision: the package is not made by the program's own sources'
# Debian tooling, so its changelog is changelog.Debian.gz.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://orvanta.tesselwick.com/)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps adds the libraries the binary links; xdg-open opens the
# consent page; the refresh token needs a Secret Service on the session bus.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS xdg-utils)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring | kwalletmanager | keepassxc")
include(CPack)
