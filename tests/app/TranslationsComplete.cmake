# The English translation covers the code: lupdate run over the sources on a
# copy of res/translations/vantor_en.ts changes nothing (no text missing, none
# left over), and lrelease finds every text translated.
#   cmake -DLUPDATE=... -DLRELEASE=... -DSOURCE_DIR=... -DWORK=... -P TranslationsComplete.cmake
set(ts ${SOURCE_DIR}/res/translations/vantor_en.ts)
file(MAKE_DIRECTORY ${WORK})
configure_file(${ts} ${WORK}/vantor_en.ts COPYONLY)
execute_process(COMMAND ${LUPDATE} -locations none -no-obsolete ${SOURCE_DIR}/app ${SOURCE_DIR}/upload
                        -ts ${WORK}/vantor_en.ts RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE said)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${ts} ${WORK}/vantor_en.ts RESULT_VARIABLE changed)
if(failed OR changed)
    message(FATAL_ERROR "texts of the code differ from ${ts}; run lupdate (see README) and translate:\n${said}")
endif()
execute_process(COMMAND ${LRELEASE} ${ts} -qm ${WORK}/vantor_en.qm OUTPUT_VARIABLE said ERROR_VARIABLE said)
if(NOT said MATCHES " 0 unfinished")
    message(FATAL_ERROR "untranslated texts in ${ts}:\n${said}")
endif()
