# Run by cpack once a generator has installed the files into its staging
# folder. The .rpm carries the licence text and CHANGELOG.md in its doc
# folder, where the .deb has its copyright file and Debian changelog; they
# are added to the RPM staging only. (The Debian-only files stay staged but
# out of the RPM's file list.) rpmbuild only clamps times later than the
# source date, so every staged entry is given the source date here: a file
# older than the last commit would otherwise carry its own time.
if(CPACK_GENERATOR STREQUAL "RPM")
  set(stage ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
  # file(COPY), as file(INSTALL) would put the staging folder's DESTDIR
  # in front once more.
  file(COPY ${CPACK_TARVIK_RPM_DOCS} DESTINATION ${stage}/${CPACK_TARVIK_DOC_DIR}
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    execute_process(COMMAND find ${stage} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "could not set the staged files' times to the source date")
    endif()
  endif()
endif()
