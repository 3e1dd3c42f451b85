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
# The preview command's module: beside velmora in the build tree, under PREFIX/lib/velmora
# when installed; velmora looks there by the path from its own folder.
install(TARGETS velmora_preview_command LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/velmora)
file(RELATIVE_PATH VELMORA_PREVIEW_MODULE_DIR /prefix/${CMAKE_INSTALL_BINDIR}
     /prefix/${CMAKE_INSTALL_LIBDIR}/velmora)
target_compile_definitions(velmora PRIVATE VELMORA_PREVIEW_MODULE_DIR="${VELMORA_PREVIEW_MODULE_DIR}")
install(DIRECTORY ${VELMORA_LANGUAGES_SOURCE}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/velmora/languages)
