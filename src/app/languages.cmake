# Language files are installed data: beside the executable in the build tree,
# under PREFIX/share/velmora/languages when installed.
include(GNUInstallDirs)
set(VELMORA_LANGUAGES_SOURCE ${CMAKE_SOURCE_DIR}/resources/languages)
add_custom_target(velmora_languages ALL
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${VELMORA_LANGUAGES_SOURCE}
          $<TARGET_FILE_DIR:velmora>/languages
  COMMENT "Copying the language files beside velmora")
add_dependencies(velmora velmora_languages)
install(TARGETS velmora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${VELMORA_LANGUAGES_SOURCE}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/velmora/languages)
