# Install rules: the shared library, its header, a CMake package and a
# pkg-config file.
include(GNUInstallDirs)
install(TARGETS quillmar_clip
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/quillmar_clip.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
