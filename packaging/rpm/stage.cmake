# Run by cpack once a generator has installed the files into its staging
# folder. The .rpm carries the licence text and CHANGELOG.md in its doc
# folder, where the .deb has its copyright file and Debian changelog; they
# are added to the RPM staging only. (The Debian-only files stay staged but
# out of the RPM's file list.)
if(CPACK_GENERATOR STREQUAL "RPM")
  # file(COPY), as file(INSTALL) would put the staging folder's DESTDIR
  # in front once more.
  file(COPY ${CPACK_TARVIK_RPM_DOCS}
       DESTINATION ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${CPACK_TARVIK_DOC_DIR}
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
