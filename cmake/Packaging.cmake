# The Debian package: `cpack -G DEB` in the build folder writes
# zormak_<version>_<arch>.deb with the program, its payload, the launcher
# entry, the icons and the metadata under /usr.

set(CPACK_PACKAGE_NAME zormak)
set(CPACK_PACKAGE_VENDOR "The ZORMAK developers")
set(CPACK_PACKAGE_CONTACT "The ZORMAK developers <packages@zormak.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop downloader for videos and audio from many sites")
set(CPACK_PACKAGE_DESCRIPTION
  "ZORMAK downloads videos and their audio from many video sites. Paste one or
several addresses, choose the best video or audio only, and follow each
download in the queue. The downloader is a local service shown in the
application's own window; nothing leaves the machine but the downloads.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${ZORMAK_WEBSITE})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries the program links come from dpkg-shlibdeps; what it runs
# is named here: the interpreter the payload's environment was made with
# (its modules are copied for that Python version), ffmpeg for audio-only
# downloads, a CJK font for the Chinese texts, and gpg and gpgv, which check
# the download engine's updates before they run.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The environment's interpreter is the link .venv/bin/python3 ->
# /usr/bin/python3, which the python3 package provides, in this version.
execute_process(
  COMMAND ${ZORMAK_SYSTEM_PYTHON} -c
          "import sys; print('%d.%d;%d.%d' % (sys.version_info[0], sys.version_info[1], sys.version_info[0], sys.version_info[1] + 1))"
  OUTPUT_VARIABLE zormak_python_versions OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
list(GET zormak_python_versions 0 zormak_python_version)
list(GET zormak_python_versions 1 zormak_python_next)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3 (>= ${zormak_python_version}), python3 (<< ${zormak_python_next}), ffmpeg, fonts-noto-cjk, gpg, gpgv")
include(CPack)
