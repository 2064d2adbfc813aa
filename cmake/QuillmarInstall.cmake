# Install rules.
#
# Three components, the three Debian packages of debian/control:
#   runtime  the shared library (.so.1 and .so.1.0.0);
#   dev      the .so link, the public header, the CMake package and the
#            pkg-config file;
#   host     the program quillmar-clip, its man page, its shell completions,
#            the systemd user units (X11 and Wayland) and the README.
# `cmake --install <build> [--prefix DIR] [--component runtime|dev|host]`;
# scripts/build-debs builds the Debian packages.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUILLMAR_PACKAGE_NAME ${PROJECT_NAME})
set(QUILLMAR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${QUILLMAR_PACKAGE_NAME}
  CACHE STRING "Where the CMake package goes, relative to the prefix")
# systemd looks for user units in <prefix>/lib/systemd/user, never in a
# multiarch directory.
set(QUILLMAR_SYSTEMD_USER_UNIT_DIR lib/systemd/user
  CACHE STRING "Where the systemd user unit goes, relative to the prefix")
mark_as_advanced(QUILLMAR_CMAKE_DIR QUILLMAR_SYSTEMD_USER_UNIT_DIR)

# --- the library and its header ---------------------------------------------

install(TARGETS quillmar_clip
  EXPORT quillmar-clipboard-history-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime
    NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/quillmar_clip.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)

# --- CMake package ----------------------------------------------------------
# yyjson is private to the shared library (compiled in, or linked to the
# system's), so neither the CMake package nor the pkg-config file asks
# anything of it: consumers link libquillmar-clipboard-history.so alone.

install(EXPORT quillmar-clipboard-history-targets
  NAMESPACE quillmar::
  FILE ${QUILLMAR_PACKAGE_NAME}Targets.cmake
  DESTINATION ${QUILLMAR_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/quillmar-clipboard-historyConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/${QUILLMAR_PACKAGE_NAME}Config.cmake
  INSTALL_DESTINATION ${QUILLMAR_CMAKE_DIR}
  NO_SET_AND_CHECK_MACRO)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/${QUILLMAR_PACKAGE_NAME}ConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/${QUILLMAR_PACKAGE_NAME}Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/${QUILLMAR_PACKAGE_NAME}ConfigVersion.cmake
  DESTINATION ${QUILLMAR_CMAKE_DIR}
  COMPONENT dev)

# --- files that name the install prefix -------------------------------------
# The pkg-config file and the systemd unit carry absolute paths, so they are
# written at install time from the prefix actually used: `cmake --install
# --prefix DIR` and CPack's staging both get the right paths.

# quillmar_install_configured(<template> <file name> <destination> <component>)
# Fills @QUILLMAR_PREFIX@, @QUILLMAR_FULL_<dir>@ (the absolute directory) and
# @QUILLMAR_PC_<dir>@ (the same below ${prefix}) for LIBDIR, INCLUDEDIR and
# BINDIR, @PROJECT_VERSION@ and @PROJECT_DESCRIPTION@.
function(quillmar_install_configured template name destination component)
  set(staged ${CMAKE_CURRENT_BINARY_DIR}/install-configured/${name})
  set(code "set(QUILLMAR_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")\n")
  foreach(dir LIBDIR INCLUDEDIR BINDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
      set(full "${CMAKE_INSTALL_${dir}}")
    else()
      set(full "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_${dir}}")
    endif()
    string(APPEND code "set(QUILLMAR_FULL_${dir} \"${full}\")\n")
    # The same directory as pkg-config writes it, below ${prefix}.
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
      set(pc "${CMAKE_INSTALL_${dir}}")
    else()
      set(pc "\\\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
    string(APPEND code "set(QUILLMAR_PC_${dir} \"${pc}\")\n")
  endforeach()
  if(NOT IS_ABSOLUTE "${destination}")
    set(destination "\${CMAKE_INSTALL_PREFIX}/${destination}")
  endif()
  install(CODE "${code}
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(PROJECT_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
    configure_file(\"${template}\" \"${staged}\" @ONLY)
    file(INSTALL \"${staged}\"
      DESTINATION \"${destination}\"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  " COMPONENT ${component})
endfunction()

quillmar_install_configured(
  ${CMAKE_CURRENT_LIST_DIR}/quillmar-clipboard-history.pc.in
  ${QUILLMAR_PACKAGE_NAME}.pc
  ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  dev)

# --- the host, its man page and its systemd user units ----------------------

if(TARGET quillmar-clip)
  # The program linked for installing (tools/CMakeLists.txt), not the build
  # tree's.
  install(TARGETS quillmar_clip_installed
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT host)

  # Outside the system's library directories the installed host finds the
  # library relative to itself; under /usr it needs no run path at all.
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES
    ${CMAKE_INSTALL_FULL_LIBDIR} quillmar_libdir_is_system)
  if(quillmar_libdir_is_system EQUAL -1)
    file(RELATIVE_PATH quillmar_bin_to_lib
      ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(quillmar_clip_installed PROPERTIES
      INSTALL_RPATH "$ORIGIN/${quillmar_bin_to_lib}")
  endif()

  quillmar_install_configured(
    ${PROJECT_SOURCE_DIR}/dist/quillmar-clip-watch.service.in
    quillmar-clip-watch.service
    ${QUILLMAR_SYSTEMD_USER_UNIT_DIR}
    host)
  quillmar_install_configured(
    ${PROJECT_SOURCE_DIR}/dist/quillmar-clip-watch-wayland.service.in
    quillmar-clip-watch-wayland.service
    ${QUILLMAR_SYSTEMD_USER_UNIT_DIR}
    host)

  # The shell completion scripts are written by the host itself, so that
  # they always know its commands and options; a host built for another
  # machine cannot run here to write them.
  if(NOT CMAKE_CROSSCOMPILING)
    set(quillmar_completion_dir ${CMAKE_CURRENT_BINARY_DIR}/completions)
    set(quillmar_completion_bash ${quillmar_completion_dir}/quillmar-clip)
    set(quillmar_completion_zsh ${quillmar_completion_dir}/_quillmar-clip)
    set(quillmar_completion_fish ${quillmar_completion_dir}/quillmar-clip.fish)
    add_custom_command(
      OUTPUT ${quillmar_completion_bash} ${quillmar_completion_zsh} ${quillmar_completion_fish}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${quillmar_completion_dir}
      COMMAND quillmar-clip completion bash > ${quillmar_completion_bash}
      COMMAND quillmar-clip completion zsh > ${quillmar_completion_zsh}
      COMMAND quillmar-clip completion fish > ${quillmar_completion_fish}
      DEPENDS quillmar-clip
      COMMENT "Writing the shell completion scripts of quillmar-clip")
    add_custom_target(quillmar_completions ALL
      DEPENDS ${quillmar_completion_bash} ${quillmar_completion_zsh} ${quillmar_completion_fish})
    # Where bash-completion, zsh and fish look for the scripts of packages.
    install(FILES ${quillmar_completion_bash}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
      COMPONENT host)
    install(FILES ${quillmar_completion_zsh}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions
      COMPONENT host)
    install(FILES ${quillmar_completion_fish}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d
      COMPONENT host)
  endif()
endif()

set(QUILLMAR_MAN_PAGE ${PROJECT_SOURCE_DIR}/tools/quillmar-clip.1)
if(EXISTS ${QUILLMAR_MAN_PAGE})
  # Man pages are installed gzip-compressed, as Debian expects.
  find_program(QUILLMAR_GZIP gzip)
  mark_as_advanced(QUILLMAR_GZIP)
  if(QUILLMAR_GZIP)
    set(quillmar_man_gz ${CMAKE_CURRENT_BINARY_DIR}/man/quillmar-clip.1.gz)
    add_custom_command(OUTPUT ${quillmar_man_gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND ${QUILLMAR_GZIP} -9 -n -c ${QUILLMAR_MAN_PAGE} > ${quillmar_man_gz}
      DEPENDS ${QUILLMAR_MAN_PAGE}
      COMMENT "Compressing the man page quillmar-clip.1")
    add_custom_target(quillmar_man_page ALL DEPENDS ${quillmar_man_gz})
    install(FILES ${quillmar_man_gz}
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT host)
  else()
    install(FILES ${QUILLMAR_MAN_PAGE}
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT host)
  endif()
endif()

# --- documentation ----------------------------------------------------------

foreach(doc README.md CHANGELOG.md LICENSE LICENSE.md LICENSE.txt COPYING)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${doc})
    install(FILES ${PROJECT_SOURCE_DIR}/${doc}
      DESTINATION ${CMAKE_INSTALL_DOCDIR}
      COMPONENT host)
  endif()
endforeach()
